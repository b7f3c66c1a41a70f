// Machine-readable output shared by the benchmarks, read by bench/run.
//
//   RESULT <measure> ours=<x> baseline=<y> unit=<u> goal=<text>
//
// and, when BENCH_OUT_DIR is set, raw samples in <dir>/<name>.samples (one
// value a line) for the report's plots.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

inline void result(const std::string &measure, double ours, double baseline, const std::string &unit,
                   const std::string &goal)
{
    std::printf("RESULT %s ours=%.6g baseline=%.6g unit=%s goal=%s\n", measure.c_str(), ours, baseline,
                unit.c_str(), goal.c_str());
    std::fflush(stdout);
}

inline void samples(const std::string &name, const std::vector<double> &values)
{
    const char *dir = std::getenv("BENCH_OUT_DIR");
    if (!dir || !*dir)
        return;
    const std::string path = std::string(dir) + "/" + name + ".samples";
    if (std::FILE *f = std::fopen(path.c_str(), "w")) {
        for (double v : values)
            std::fprintf(f, "%.3f\n", v);
        std::fclose(f);
    }
}

} // namespace bench

#include <sched.h>
#include <sys/types.h>

#include <initializer_list>

namespace bench {

// Puts the given processes (0: this one) on one core, or back on all cores.
// Round trips are measured on one core: on this VM a wake-up on another,
// idle core costs about 55 us and lands at random, which would swamp the
// server's own cost; on one core a round trip is the server's work plus two
// context switches.
inline void pinToOneCore(std::initializer_list<pid_t> pids, bool pin)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pin) {
        CPU_SET(0, &set);
    } else {
        for (int c = 0; c < CPU_SETSIZE; ++c)
            CPU_SET(c, &set);
    }
    for (pid_t pid : pids)
        if (pid >= 0)
            sched_setaffinity(pid, sizeof set, &set);
}

} // namespace bench
