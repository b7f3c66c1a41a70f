// Relating the local clock to the server's from time-stamp exchanges.
#pragma once

#include <cstdint>
#include <span>

#include "clientlib/image.h"

namespace clientlib {

struct ClockEstimate {
    double offset_us = 0;       // server clock minus local clock
    double uncertainty_us = 0;  // half the best sample's round trip
    int64_t min_round_trip_us = 0;
    double median_round_trip_us = 0;
    size_t samples = 0;
    ClockSample best;  // the sample with the smallest round trip
};

// offset = ((t1 - t0) + (t2 - t3)) / 2 and round trip = (t3 - t0) - (t2 - t1)
// of the sample with the smallest round trip; uncertainty = that round trip / 2.
// Throws ClientError(Usage) for an empty span.
ClockEstimate EstimateClock(std::span<const ClockSample> samples);

// The value congruent to `low` modulo 2^bits (bits 1 ... 32) that lies
// nearest to `reference`. Restores a full time from its low 32 bits.
int64_t NearestWithLowBits(uint32_t low, int64_t reference, unsigned bits = 32);

}  // namespace clientlib
