#include "clientlib/timing.h"

#include <time.h>

#include <cmath>
#include <cstdlib>

#include "clientlib/error.h"

namespace clientlib {
namespace {

[[noreturn]] void Bad(const std::string& text) {
    throw ClientError(ErrorKind::Usage,
                      "a moment is +DURATION (e.g. +250ms, +1.5s), @SECONDS since the epoch or "
                      "[YYYY-MM-DD ]HH:MM:SS[.FRACTION] local time, not \"" + text + "\"");
}

// Digits with an optional fraction ("12", "1.25"), scaled by `unit` to
// microseconds (digits below a microsecond are dropped).
int64_t Number(const std::string& digits, int64_t unit, const std::string& text) {
    const size_t dot = digits.find('.');
    const std::string whole = digits.substr(0, dot);
    const std::string frac = dot == std::string::npos ? "" : digits.substr(dot + 1);
    if (whole.empty() || whole.size() > 12 || whole.find_first_not_of("0123456789") != std::string::npos ||
        (dot != std::string::npos && (frac.empty() || frac.find_first_not_of("0123456789") != std::string::npos)))
        Bad(text);
    int64_t value = std::stoll(whole) * unit;
    // The fraction's first digits, enough for microseconds at any unit.
    int64_t scale = unit;
    for (size_t i = 0; i < frac.size() && i < 7; ++i) {
        scale /= 10;
        value += (frac[i] - '0') * scale;
        if (scale == 0) break;
    }
    return value;
}

}  // namespace

int64_t ParseLocalTime(const std::string& text, int64_t now_micros) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ') Bad(text);
    if (text[0] == '+') {
        const std::string rest = text.substr(1);
        const size_t unit_at = rest.find_first_not_of("0123456789.");
        if (unit_at == std::string::npos) Bad(text);
        const std::string unit = rest.substr(unit_at);
        const int64_t scale = unit == "us" ? 1 : unit == "ms" ? 1000 : unit == "s" ? 1000000 : 0;
        if (scale == 0) Bad(text);
        return now_micros + Number(rest.substr(0, unit_at), scale, text);
    }
    if (text[0] == '@') return Number(text.substr(1), 1000000, text);

    // Local date and time: the date is optional, the fraction too.
    tm parts{};
    const time_t now_sec = static_cast<time_t>(now_micros / 1000000);
    localtime_r(&now_sec, &parts);
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
    if (!end) {
        localtime_r(&now_sec, &parts);
        end = strptime(text.c_str(), "%H:%M:%S", &parts);
    }
    if (!end || (end[0] != '\0' && end[0] != '.')) Bad(text);
    int64_t frac = 0;
    if (end[0] == '.') frac = Number(std::string("0") + end, 1000000, text);
    parts.tm_isdst = -1;
    const time_t secs = mktime(&parts);
    if (secs == static_cast<time_t>(-1)) Bad(text);
    return int64_t{secs} * 1000000 + frac;
}

uint32_t ServerMicrosAt(int64_t local_micros, const ClockEstimate& clock) {
    return static_cast<uint32_t>(local_micros + std::llround(clock.offset_us));
}

int64_t LocalMicrosOf(uint32_t server_low, const ClockEstimate& clock, int64_t local_now) {
    const int64_t offset = std::llround(clock.offset_us);
    return NearestWithLowBits(server_low, local_now + offset) - offset;
}

}  // namespace clientlib
