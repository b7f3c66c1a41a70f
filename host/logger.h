// The host's log: spdlog underneath, levels 1 fatal .. 5 debug as the plug-in
// interface defines them. Plug-ins reach it through the exported `Logger`.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <string>

struct HostLogger {
    int level = 3;
    long long maxSize = 10LL * 1024 * 1024;
    std::shared_ptr<spdlog::logger> out;
};

namespace plughost {

// Points the exported `Logger` at a stderr log, or at a file rotated at
// maxSize with 3 old files kept. Returns an error text, empty on success.
std::string setupLogger(int level, long long maxSize, const std::string &file);

HostLogger &hostLogger();

inline bool logEnabled(int level) { return level <= hostLogger().level; }

spdlog::level::level_enum toSpdlogLevel(int level);

template <typename... Args>
void log(int level, fmt::format_string<Args...> format, Args &&...args)
{
    HostLogger &l = hostLogger();
    if (level <= l.level && l.out)
        l.out->log(toSpdlogLevel(level), format, std::forward<Args>(args)...);
}

} // namespace plughost
