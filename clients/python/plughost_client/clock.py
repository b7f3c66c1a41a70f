"""Relating the local clock to the server's from time-stamp exchanges."""
from __future__ import annotations

import statistics
import time
from dataclasses import dataclass, field
from typing import Sequence, Tuple

#: One exchange in microseconds: local send time t0, server times t1 and t2,
#: local receive time t3 (all wall clock).
Sample = Tuple[int, int, int, int]


@dataclass(frozen=True)
class ClockEstimate:
    """The server clock's offset from the local clock.

    ``offset_us`` is server minus local; the true offset lies within
    ± ``uncertainty_us`` of it (half the smallest round trip). Round trips
    exclude the server's own time between receiving and answering.
    """

    offset_us: float
    uncertainty_us: float
    rtt_min_us: int
    rtt_median_us: float
    samples: int = 1
    #: When it was measured, on the monotonic clock (time.monotonic()).
    measured_at: float = field(default_factory=time.monotonic, compare=False)


def estimate_clock(samples: Sequence[Sample]) -> ClockEstimate:
    """offset = ((t1 - t0) + (t2 - t3)) / 2 of the sample with the smallest
    round trip (t3 - t0) - (t2 - t1); uncertainty = that round trip / 2."""
    if not samples:
        raise ValueError("no clock samples")
    trips = [(t3 - t0) - (t2 - t1) for t0, t1, t2, t3 in samples]
    best = min(range(len(samples)), key=trips.__getitem__)
    t0, t1, t2, t3 = samples[best]
    return ClockEstimate(
        offset_us=((t1 - t0) + (t2 - t3)) / 2.0,
        uncertainty_us=max(trips[best], 0) / 2.0,
        rtt_min_us=trips[best],
        rtt_median_us=float(statistics.median(trips)),
        samples=len(samples),
    )


def nearest_with_low_bits(low: int, reference: int, bits: int = 32) -> int:
    """The value congruent to ``low`` modulo 2**bits that lies nearest to
    ``reference``: restores a full time from its low 32 bits."""
    span = 1 << bits
    mask = span - 1
    c = reference - (reference & mask) + (low & mask)
    if c - reference > span // 2:
        c -= span
    elif reference - c > span // 2:
        c += span
    return c


def wall_clock_us() -> int:
    """The wall clock the server stamps its answers with, in microseconds."""
    return time.time_ns() // 1000
