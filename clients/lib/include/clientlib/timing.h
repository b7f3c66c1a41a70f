// Presentation moments: local times as users write them, and their
// conversion to and from the server's clock.
#pragma once

#include <cstdint>
#include <string>

#include "clientlib/clock.h"

namespace clientlib {

// A moment on the local wall clock, in microseconds since the epoch, from
//   +DURATION                          from now: a number and a unit, us, ms or s (+250ms, +1.5s)
//   @SECONDS                           seconds since the epoch, with a fraction if wanted
//   [YYYY-MM-DD ]HH:MM:SS[.FRACTION]   local date and time of day (today without a date)
// Throws ClientError(Usage) for anything else.
int64_t ParseLocalTime(const std::string& text, int64_t now_micros);

// The low 32 bits of the server's wall clock in microseconds at a local moment.
uint32_t ServerMicrosAt(int64_t local_micros, const ClockEstimate& clock);

// The local moment of a server time known by its low 32 bits (query 4): the
// server time nearest to local_now + offset, less the offset.
int64_t LocalMicrosOf(uint32_t server_low, const ClockEstimate& clock, int64_t local_now);

// The viewer takes a moment from its low 32 bits as the one nearest to its
// own clock, so it must lie less than 2^31 µs (about 35 minutes) away.
inline constexpr int64_t kFarthestMoment = (int64_t{1} << 31) - 1;

}  // namespace clientlib
