// A child's standard error on its way to the host log: one log line per line
// the child wrote, prefixed "NAME[PID]: ", cut at a length bound, and at most
// a burst of lines per time window; the lines over that are counted and the
// count is logged once, when the burst is over. The logger escapes every byte
// outside printable ASCII, so nothing here looks at the bytes' values.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace plughost {

class StderrLines {
public:
    using Clock = std::chrono::steady_clock;
    // Receives each finished log text; the view is valid during the call.
    using Out = std::function<void(std::string_view)>;

    static constexpr std::size_t kMaxLine = 1000;        // bytes of one line kept
    static constexpr int kBurst = 100;                   // lines logged per window
    static constexpr std::chrono::seconds kWindow{10};

    // Every allocation is made here, so nothing later allocates. The program
    // is named by the last part of its path.
    explicit StderrLines(std::string_view program);
    // Completes the prefix once the child runs.
    void setPid(int pid);

    void feed(std::string_view bytes, Clock::time_point now, const Out &out);
    // The end of the stream: an unfinished line is logged, then the count of
    // lines not logged, if any.
    void finish(Clock::time_point now, const Out &out);

private:
    void endLine(Clock::time_point now, bool cut, const Out &out);
    void emit(std::string_view line, std::string_view remark, const Out &out);
    void reportSuppressed(const Out &out);

    std::string prefix_;   // "NAME[PID]: "
    std::string line_;     // the line being gathered, at most kMaxLine bytes
    std::string text_;     // what is logged: prefix, line, remark
    bool skipping_ = false; // the line was cut: its rest is dropped up to '\n'
    bool windowOpen_ = false;
    Clock::time_point windowStart_{};
    int inWindow_ = 0;
    std::uint64_t suppressed_ = 0;
};

} // namespace plughost
