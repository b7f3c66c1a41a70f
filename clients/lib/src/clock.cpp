#include "clientlib/clock.h"

#include <algorithm>
#include <vector>

#include "clientlib/error.h"

namespace clientlib {

ClockEstimate EstimateClock(std::span<const ClockSample> samples) {
    if (samples.empty()) throw ClientError(ErrorKind::Usage, "no clock samples");
    ClockEstimate e;
    e.samples = samples.size();
    std::vector<int64_t> trips;
    trips.reserve(samples.size());
    size_t best = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const ClockSample& s = samples[i];
        trips.push_back((s.t3 - s.t0) - (s.t2 - s.t1));
        if (trips[i] < trips[best]) best = i;
    }
    const ClockSample& b = samples[best];
    e.best = b;
    e.min_round_trip_us = trips[best];
    e.offset_us = static_cast<double>((b.t1 - b.t0) + (b.t2 - b.t3)) / 2.0;
    e.uncertainty_us = static_cast<double>(std::max<int64_t>(trips[best], 0)) / 2.0;
    std::sort(trips.begin(), trips.end());
    size_t mid = trips.size() / 2;
    e.median_round_trip_us = trips.size() % 2
                                 ? static_cast<double>(trips[mid])
                                 : static_cast<double>(trips[mid - 1] + trips[mid]) / 2.0;
    return e;
}

int64_t NearestWithLowBits(uint32_t low, int64_t reference, unsigned bits) {
    if (bits == 0 || bits > 32) bits = 32;
    const int64_t span = int64_t{1} << bits;
    const int64_t mask = span - 1;
    const int64_t lowv = static_cast<int64_t>(low) & mask;
    // Candidate in the reference's own window, then the neighbour on the nearer side.
    int64_t base = reference - (reference & mask);  // two's complement: floor to the window
    int64_t c = base + lowv;
    if (c - reference > span / 2) c -= span;
    else if (reference - c > span / 2) c += span;
    return c;
}

}  // namespace clientlib
