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
