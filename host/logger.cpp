#include "logger.h"

#include "export.h"
#include "fd.h"
#include "plugin_api.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <algorithm>
#include <cerrno>
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
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<LevelName>(); }
};

// The message text, escaped.
class EscapedText : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg &msg, const std::tm &, spdlog::memory_buf_t &dest) override
    {
        appendEscaped(std::string_view(msg.payload.data(), msg.payload.size()), dest);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<EscapedText>(); }
};

// Standard error that never makes the event loop wait. A pipe or a terminal
// is written through an open file description of its own with O_NONBLOCK
// (the shared one, which the parent may use too, keeps its flags); a socket
// (a service manager's journal) with MSG_DONTWAIT; a regular file plainly.
// A line the output does not take is dropped and counted, and the count is
// logged once the output takes lines again. A line taken in part is finished
// before the next one.
class StderrSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    StderrSink()
    {
        struct stat st {};
        if (::fstat(STDERR_FILENO, &st) != 0)
            return;
        if (S_ISSOCK(st.st_mode)) {
            mode_ = Mode::Send;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            own_.reset(::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            mode_ = own_ ? Mode::Own : Mode::Poll;
        }
    }

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override
    {
        if (!pending_.empty()) {
            sendPending();
            if (!pending_.empty()) {
                ++dropped_;
                return;
            }
        }
        if (dropped_ > 0) {
            char text[96];
            const int n = std::snprintf(text, sizeof text,
                                        "%llu log lines dropped: standard error did not take them",
                                        static_cast<unsigned long long>(dropped_));
            const spdlog::details::log_msg notice(msg.time, {}, msg.logger_name, spdlog::level::warn,
                                                  spdlog::string_view_t(text, static_cast<std::size_t>(n)));
            if (!put(notice)) {
                ++dropped_;
                return;
            }
            dropped_ = 0;
            if (!pending_.empty()) {
                ++dropped_;
                return;
            }
        }
        if (!put(msg))
            ++dropped_;
    }
    void flush_() override {}

private:
    enum class Mode { Plain, Own, Send, Poll };

    // Formats and writes one line; false when nothing of it was taken.
    bool put(const spdlog::details::log_msg &msg)
    {
        spdlog::memory_buf_t line;
        formatter_->format(msg, line);
        const std::size_t n = writeSome(line.data(), line.size());
        if (n == 0)
            return false;
        pending_.assign(line.data() + n, line.size() - n);
        return true;
    }

    void sendPending()
    {
        const std::size_t n = writeSome(pending_.data(), pending_.size());
        pending_.erase(0, n);
    }

    // Bytes taken, 0 when the output is full or gone.
    std::size_t writeSome(const char *p, std::size_t n)
    {
        const int fd = own_ ? own_.get() : STDERR_FILENO;
        std::size_t done = 0;
        while (done < n) {
            if (mode_ == Mode::Poll) {
                pollfd room{fd, POLLOUT, 0};
                if (::poll(&room, 1, 0) != 1 || !(room.revents & POLLOUT))
                    break;
            }
            const ssize_t w = mode_ == Mode::Send ? ::send(fd, p + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                                                  : ::write(fd, p + done, n - done);
            if (w > 0)
                done += static_cast<std::size_t>(w);
            else if (!(w < 0 && errno == EINTR))
                break;
        }
        return done;
    }

    Mode mode_ = Mode::Plain;
    Fd own_;
    std::string pending_;
    std::uint64_t dropped_ = 0;
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

void appendEscaped(std::string_view text, spdlog::memory_buf_t &out)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const char *p = text.data();
    const char *const end = p + text.size();
    while (p < end) {
        const char *run = p;
        while (p < end && *p >= 0x20 && *p <= 0x7e && *p != '\\')
            ++p;
        out.append(run, p);
        if (p == end)
            return;
        const auto c = static_cast<unsigned char>(*p++);
        char esc[4] = {'\\', 0, 0, 0};
        std::size_t len = 2;
        switch (c) {
        case '\\': esc[1] = '\\'; break;
        case '\n': esc[1] = 'n'; break;
        case '\r': esc[1] = 'r'; break;
        case '\t': esc[1] = 't'; break;
        default:
            esc[1] = 'x';
            esc[2] = kHex[c >> 4];
            esc[3] = kHex[c & 15];
            len = 4;
        }
        out.append(esc, esc + len);
    }
}

std::string escaped(std::string_view text)
{
    spdlog::memory_buf_t buf;
    appendEscaped(text, buf);
    return std::string(buf.data(), buf.size());
}

std::string setupLogger(int level, long long maxSize, const std::string &file)
{
    theLogger.level = level;
    theLogger.maxSize = maxSize;
    spdlog::sink_ptr sink;
    std::string error;
    try {
        if (!file.empty())
            sink = std::make_shared<spdlog::sinks::rotating_file_sink_st>(file, static_cast<std::size_t>(maxSize), 3);
    } catch (const spdlog::spdlog_ex &e) {
        error = std::string("cannot open log file ") + file + ": " + e.what();
    }
    if (!sink)
        sink = std::make_shared<StderrSink>();
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<LevelName>('*').add_flag<EscapedText>('~').set_pattern("%Y-%m-%d %H:%M:%S.%e [%*] %~");
    sink->set_formatter(std::move(formatter));
    theLogger.out = std::make_shared<spdlog::logger>("plughost", sink);
    theLogger.out->set_level(spdlog::level::trace);
    theLogger.out->flush_on(spdlog::level::trace);
    // spdlog would report a failed line on stderr itself, and wait for it.
    theLogger.out->set_error_handler([](const std::string &) {});
    return error;
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

// The formatted text may hold anything a client sent; the log escapes it.
// A message that cannot be formatted or written is lost; nothing is thrown
// into the plug-in.
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
    try {
        if (static_cast<std::size_t>(n) < sizeof small) {
            hostLogger().out->log(spdLevel, spdlog::string_view_t(small, static_cast<std::size_t>(n)));
            return;
        }
        std::vector<char> big(static_cast<std::size_t>(n) + 1);
        va_start(args, format);
        std::vsnprintf(big.data(), big.size(), format, args);
        va_end(args);
        hostLogger().out->log(spdLevel, spdlog::string_view_t(big.data(), static_cast<std::size_t>(n)));
    } catch (...) {
    }
}

} // extern "C"
