#include "logger.h"

#include "export.h"
#include "plugin_api.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace plughost {

namespace {

HostLogger theLogger;

// Our own level names; spdlog would call level 1 "critical".
class LevelName : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg &msg, const std::tm &, spdlog::memory_buf_t &dest) override
    {
        const char *name = "debug";
        switch (msg.level) {
        case spdlog::level::critical: name = "fatal"; break;
        case spdlog::level::err: name = "error"; break;
        case spdlog::level::warn: name = "warn"; break;
        case spdlog::level::info: name = "info"; break;
        default: break;
        }
        dest.append(name, name + std::char_traits<char>::length(name));
    }
    std::unique_ptr<custom_flag_formatter> clone() const override
    {
        return std::make_unique<LevelName>();
    }
};

} // namespace

HostLogger &hostLogger() { return theLogger; }

spdlog::level::level_enum toSpdlogLevel(int level)
{
    switch (level) {
    case LOG_FATAL: return spdlog::level::critical;
    case LOG_ERROR: return spdlog::level::err;
    case LOG_WARN: return spdlog::level::warn;
    case LOG_INFO: return spdlog::level::info;
    default: return spdlog::level::debug;
    }
}

std::string setupLogger(int level, long long maxSize, const std::string &file)
{
    theLogger.level = level;
    theLogger.maxSize = maxSize;
    spdlog::sink_ptr sink;
    try {
        if (file.empty())
            sink = std::make_shared<spdlog::sinks::stderr_sink_st>();
        else
            sink = std::make_shared<spdlog::sinks::rotating_file_sink_st>(
                file, static_cast<std::size_t>(maxSize), 3);
    } catch (const spdlog::spdlog_ex &e) {
        sink = std::make_shared<spdlog::sinks::stderr_sink_st>();
        theLogger.out = std::make_shared<spdlog::logger>("plughost", sink);
        return std::string("cannot open log file ") + file + ": " + e.what();
    }
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<LevelName>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e [%*] %v");
    sink->set_formatter(std::move(formatter));
    theLogger.out = std::make_shared<spdlog::logger>("plughost", sink);
    theLogger.out->set_level(spdlog::level::trace);
    theLogger.out->flush_on(spdlog::level::trace);
    return {};
}

} // namespace plughost

using plughost::hostLogger;

extern "C" {

HOST_EXPORT HostLogger *Logger = &plughost::hostLogger();

HOST_EXPORT int LogIsFatal(HostLogger *) { return plughost::logEnabled(LOG_FATAL); }
HOST_EXPORT int LogIsError(HostLogger *) { return plughost::logEnabled(LOG_ERROR); }
HOST_EXPORT int LogIsWarn(HostLogger *) { return plughost::logEnabled(LOG_WARN); }
HOST_EXPORT int LogIsInfo(HostLogger *) { return plughost::logEnabled(LOG_INFO); }
HOST_EXPORT int LogIsDebug(HostLogger *) { return plughost::logEnabled(LOG_DEBUG); }
HOST_EXPORT int LogGetLevel(HostLogger *) { return hostLogger().level; }
HOST_EXPORT long long LogGetMaxSize(HostLogger *) { return hostLogger().maxSize; }

HOST_EXPORT void LogMessage(HostLogger *, int level, const char *format, ...)
{
    level = std::clamp(level, static_cast<int>(LOG_FATAL), static_cast<int>(LOG_DEBUG));
    if (!plughost::logEnabled(level) || !format || !hostLogger().out)
        return;
    char small[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0)
        return;
    const auto spdLevel = plughost::toSpdlogLevel(level);
    if (static_cast<std::size_t>(n) < sizeof small) {
        hostLogger().out->log(spdLevel, spdlog::string_view_t(small, static_cast<std::size_t>(n)));
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    hostLogger().out->log(spdLevel, spdlog::string_view_t(big.data(), static_cast<std::size_t>(n)));
}

} // extern "C"
