// The C++ client library doing what bench_client.py does with the Python
// client, for comparison in the same run:
//   py_bench_cpp_client ADDR KEY frames N WINDOW W H   N pictures of W x H, at most WINDOW in flight
//   py_bench_cpp_client ADDR KEY clock N               N time-stamp exchanges
// Prints one line of "name=value" figures, the process's peak RSS and CPU time included.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clientlib/clientlib.h"

namespace cl = clientlib;
using Clock = std::chrono::steady_clock;

namespace {

cl::Deadline Soon() { return cl::Deadline::After(std::chrono::seconds(60)); }

double CpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s ADDR KEY frames N WINDOW W H | clock N\n", argv[0]);
        return 2;
    }
    try {
        cl::ImageSession s = cl::ImageSession::Connect(cl::ParseAddress(argv[1]), std::chrono::seconds(20));
        s.PresentKey(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)), Soon());
        const std::string mode = argv[3];
        const long n = std::strtol(argv[4], nullptr, 10);
        if (mode == "frames" && argc == 8) {
            const long window = std::strtol(argv[5], nullptr, 10);
            const uint32_t w = static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 10));
            const uint32_t h = static_cast<uint32_t>(std::strtoul(argv[7], nullptr, 10));
            std::vector<uint8_t> pixels(size_t{w} * h * 3);
            for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
            rusage before{};
            getrusage(RUSAGE_SELF, &before);
            const auto t0 = Clock::now();
            long sent = 0, answered = 0;
            while (answered < n) {
                while (sent < n && sent - answered < window) {
                    s.SendShow(w, h, 0, 0, pixels, Soon());
                    ++sent;
                }
                if (s.ReadResult(Soon()) != 0) return 1;
                ++answered;
            }
            const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
            rusage after{};
            getrusage(RUSAGE_SELF, &after);
            std::printf("frames_per_s=%.2f cpu_ms_per_frame=%.4f peak_rss_kb=%ld\n", n / secs,
                        (CpuSeconds(after) - CpuSeconds(before)) * 1000 / n, after.ru_maxrss);
            return 0;
        }
        if (mode == "clock") {
            std::vector<cl::ClockSample> samples;
            samples.reserve(static_cast<size_t>(n));
            for (long i = 0; i < n; ++i) samples.push_back(s.ExchangeClock(Soon()));
            cl::ClockEstimate e = cl::EstimateClock(samples);
            rusage u{};
            getrusage(RUSAGE_SELF, &u);
            std::printf("rtt_median_us=%.1f rtt_min_us=%lld peak_rss_kb=%ld\n", e.median_round_trip_us,
                        static_cast<long long>(e.min_round_trip_us), u.ru_maxrss);
            return 0;
        }
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    } catch (const cl::ClientError& e) {
        std::fprintf(stderr, "py_bench_cpp_client: %s\n", e.what());
        return 1;
    }
}
