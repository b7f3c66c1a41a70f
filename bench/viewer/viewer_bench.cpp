// 1920x1080 RGB pictures shown one at a time (send, wait for the result)
// through plughost and ov_handler to the viewer's window backend on an Xvfb
// screen of 1920x1080 without a window manager, beside the headless backend,
// in one run with the rounds interleaved. The window runs with the renderer
// SDL picks by itself (OpenGL, here in software: Mesa's llvmpipe, as on a
// display machine without a GPU) and with SDL's software renderer; vsync is
// on (the default). The window's extra cost is the texture upload, the
// render into the window and the X server's copy; CPU per picture of the
// viewer and of Xvfb, and peak memory (VmHWM) of each viewer, show it.
//   viewer_bench [--rounds N] [--frames N]
// Prints a table and "RESULT name ours=X baseline=Y unit=U goal=G" lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "clientlib/clientlib.h"
#include "ov_process.h"
#include "support/xserver.h"

namespace cl = clientlib;
using namespace ovtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWidth = 1920, kHeight = 1080;

cl::Deadline soon() { return cl::Deadline::After(std::chrono::seconds(30)); }

// utime + stime of a process in seconds; 0 when unreadable.
double cpuSeconds(pid_t pid)
{
    const long long ticks = testsupport::cpuTicks(pid);
    return ticks < 0 ? 0 : double(ticks) / double(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One server with its viewer and the client session that holds its key.
struct Setup {
    std::string name;
    std::unique_ptr<Server> server;
    std::unique_ptr<cl::ImageSession> session;
    pid_t viewer = -1;
    std::vector<double> rates;
    double viewerCpu = 0, xCpu = 0;
    long frames = 0;
};

bool open(Setup &s, const Env &env, const std::string &log)
{
    s.server = std::make_unique<Server>(PLUGHOST_EXE, MODULE_DIR, env, log);
    if (s.server->port() <= 0) {
        std::fprintf(stderr, "viewer_bench: %s: %s\n", s.name.c_str(), s.server->error().c_str());
        return false;
    }
    s.session = std::make_unique<cl::ImageSession>(
        cl::ImageSession::Connect(cl::ParseAddress(s.server->address()), std::chrono::seconds(20)));
    s.session->RequestKey(soon());
    // The viewer is ready once it answers.
    if (s.session->Query(cl::kQueryWidth, 0, soon()) != kWidth) {
        std::fprintf(stderr, "viewer_bench: %s: the canvas is not %u wide\n", s.name.c_str(), kWidth);
        return false;
    }
    const auto v = childrenNamed(s.server->pid(), "orvane.exe");
    s.viewer = v.size() == 1 ? v[0] : -1;
    return s.viewer > 0;
}

// Pictures per second, one at a time; CPU of the viewer and of Xvfb added up.
double oneAtATime(Setup &s, const std::vector<uint8_t> &pixels, int frames, pid_t xvfb)
{
    for (int i = 0; i < 3; ++i)
        if (s.session->Show(kWidth, kHeight, 0, 0, pixels, soon()) != 0)
            return 0;
    const double v0 = cpuSeconds(s.viewer), x0 = cpuSeconds(xvfb);
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i)
        if (s.session->Show(kWidth, kHeight, 0, 0, pixels, soon()) != 0)
            return 0;
    const double rate = frames / std::chrono::duration<double>(Clock::now() - t0).count();
    s.viewerCpu += cpuSeconds(s.viewer) - v0;
    s.xCpu += cpuSeconds(xvfb) - x0;
    s.frames += frames;
    return rate;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 3, frames = 150;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (opt == "--rounds")
            rounds = std::clamp(v, 1, 10);
        else if (opt == "--frames")
            frames = std::clamp(v, 10, 2000);
    }
    const std::string xvfbProgram = findInPath("Xvfb");
    if (xvfbProgram.empty()) {
        std::fprintf(stderr, "viewer_bench: Xvfb is not installed\n");
        return 1;
    }
    TempDir dir;
    Xvfb xvfb(xvfbProgram, dir.file("xvfb.log"), "1920x1080x24");
    if (xvfb.display().empty()) {
        std::fprintf(stderr, "viewer_bench: Xvfb did not start: %s\n", readFile(dir.file("xvfb.log")).c_str());
        return 1;
    }
    Env base;
    base.unset = {"WAYLAND_DISPLAY",     "ORVANE_BACKEND", "ORVANE_WINDOW", "ORVANE_CANVAS",
                  "ORVANE_SNAPSHOT_DIR", "ORVANE_DISPLAY", "ORVANE_VSYNC",  "DISPLAY"};
    base.unset.push_back("SDL_RENDER_DRIVER");
    Env window = base, windowSoftware = base, headless = base;
    window.set = {{"DISPLAY", xvfb.display()}};
    windowSoftware.set = {{"DISPLAY", xvfb.display()}, {"SDL_RENDER_DRIVER", "software"}};
    headless.set = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "1920x1080"}};

    Setup setups[3];
    setups[0].name = "window, OpenGL";
    setups[1].name = "window, software";
    setups[2].name = "headless";
    try {
        if (!open(setups[0], window, dir.file("window.log")) ||
            !open(setups[1], windowSoftware, dir.file("window-software.log")) ||
            !open(setups[2], headless, dir.file("headless.log")))
            return 1;
        std::vector<uint8_t> pixels(size_t{kWidth} * kHeight * 3);
        uint32_t x = 12345;
        for (auto &b : pixels) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        }
        for (int r = 0; r < rounds; ++r) {
            std::printf("round %d:", r + 1);
            // A different order each round, so that no setup always goes first.
            for (int k = 0; k < 3; ++k) {
                Setup &s = setups[(k + r) % 3];
                const double rate = oneAtATime(s, pixels, frames, xvfb.pid());
                if (rate <= 0) {
                    std::fprintf(stderr, "viewer_bench: %s: a picture was not answered 0\n", s.name.c_str());
                    return 1;
                }
                s.rates.push_back(rate);
                std::printf(" %s %.1f/s;", s.name.c_str(), rate);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        for (Setup &s : setups)
            if (s.session->Query(cl::kQueryLate, 0, soon()) != 0)
                std::printf("%s: the viewer counted late presentations\n", s.name.c_str());
    } catch (const cl::ClientError &e) {
        std::fprintf(stderr, "viewer_bench: %s\n", e.what());
        return 1;
    }

    std::printf("\n1920x1080 RGB pictures (%.2f MB each) one at a time, median of %d rounds of %d\n",
                (20.0 + kWidth * kHeight * 3) / 1e6, rounds, frames);
    std::printf("  %-18s %12s %16s %14s %16s\n", "viewer", "pictures/s", "viewer CPU/pic", "Xvfb CPU/pic",
                "viewer peak RSS");
    double rate[3], cpu[3], xcpu[3];
    long peak[3];
    for (int i = 0; i < 3; ++i) {
        Setup &s = setups[i];
        rate[i] = median(s.rates);
        cpu[i] = 1000 * s.viewerCpu / double(s.frames);
        xcpu[i] = 1000 * s.xCpu / double(s.frames);
        peak[i] = testsupport::statusKb(s.viewer, "VmHWM");
        std::printf("  %-18s %12.1f %13.2f ms %11.2f ms %13.1f MB\n", s.name.c_str(), rate[i], cpu[i],
                    i < 2 ? xcpu[i] : 0.0, double(peak[i]) / 1024);
    }
    std::printf("RESULT viewer_window_opengl_pictures_per_second ours=%.1f baseline=%.1f unit=pictures/s "
                "goal=reported\n",
                rate[0], rate[2]);
    std::printf("RESULT viewer_window_software_pictures_per_second ours=%.1f baseline=%.1f unit=pictures/s "
                "goal=reported\n",
                rate[1], rate[2]);
    std::printf("RESULT viewer_window_opengl_cpu_per_picture ours=%.2f baseline=%.2f unit=ms goal=reported\n", cpu[0],
                cpu[2]);
    std::printf("RESULT viewer_window_software_cpu_per_picture ours=%.2f baseline=%.2f unit=ms goal=reported\n", cpu[1],
                cpu[2]);
    std::printf("RESULT viewer_window_opengl_peak_rss ours=%.1f baseline=%.1f unit=MB goal=reported\n",
                double(peak[0]) / 1024, double(peak[2]) / 1024);
    std::printf("RESULT viewer_window_software_peak_rss ours=%.1f baseline=%.1f unit=MB goal=reported\n",
                double(peak[1]) / 1024, double(peak[2]) / 1024);
    for (Setup &s : setups) {
        s.session.reset();
        s.server->stop();
    }
    return 0;
}
