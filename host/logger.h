// The host's log: spdlog underneath, levels 1 fatal .. 5 debug as the plug-in
// interface defines them. Plug-ins reach it through the exported `Logger`.
// Every message is escaped on its way out (appendEscaped): nothing a client,
// a child or a plug-in put into it reaches the log raw, so no line can be
// forged and no terminal control sequence passes. Logging never throws and
// never waits for standard error.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <string_view>

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

// Printable ASCII (0x20-0x7e) as it is, except the backslash (\\); \n, \r
// and \t as such; every other byte as \xHH.
void appendEscaped(std::string_view text, spdlog::memory_buf_t &out);
std::string escaped(std::string_view text);

// A message that cannot be formatted or written (no memory, say) is lost.
template <typename... Args>
void log(int level, fmt::format_string<Args...> format, Args &&...args) noexcept
{
    HostLogger &l = hostLogger();
    if (level > l.level || !l.out)
        return;
    try {
        l.out->log(toSpdlogLevel(level), format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

} // namespace plughost
