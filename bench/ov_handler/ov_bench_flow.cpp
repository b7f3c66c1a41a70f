// Flow-control benchmark of the image service, each measure beside its
// baseline in the same run:
//  - deep stream: one client sends N full-HD frames (1920x1080 RGB) back to
//    back and reads the results as they come; plughost + ov_handler beside
//    ov_relay (a minimal store-and-forward relay), both feeding the same
//    viewer; plughost's peak RSS (VmHWM) during the stream;
//  - one at a time: send a frame, wait for its result, N times;
//  - burst: 50,000 and 100,000 short requests (fills) in one write, time
//    until the last is answered; the ratio shows whether the work is linear.
// The viewer is a sink that reads and answers (ov_sink_viewer, the transport
// alone), one that also adds up every pixel byte (--viewer checksum: slower
// than the network, so the queue in front of it fills, the worst pattern for
// memory), or the real viewer headless (--viewer orvane).
//
//   ov_bench_flow [--frames N] [--rounds N] [--burst N] [--viewer sink|checksum|orvane]
//                 [--plughost PATH] [--ov-handler PATH] [--plugin-option KEY=VALUE]...
// --plughost and --ov-handler measure another build (e.g. an older one) the
// same way. Prints a table and RESULT lines (bench/common/report.h).
#include "../common/report.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "clientlib/clientlib.h"
#include "ov_process.h"
#include "support/sockets.h"

namespace cl = clientlib;
using namespace ovtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kWidth = 1920, kHeight = 1080;
constexpr double kMiB = 1024.0 * 1024.0;

struct Options {
    int frames = 60;
    int rounds = 3;
    int burst = 100000;
    std::string viewer = "sink";
    std::string plughost = PLUGHOST_EXE;
    std::string ovHandler = OV_HANDLER_SO;
    std::vector<std::string> extra; // --plugin-option ... for plughost
};

[[noreturn]] void die(const std::string &why)
{
    std::fprintf(stderr, "ov_bench_flow: %s\n", why.c_str());
    std::exit(1);
}

cl::Deadline soon() { return cl::Deadline::After(std::chrono::seconds(120)); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string showRequest()
{
    std::string r = testsupport::be32(0) + testsupport::be32(kWidth) + testsupport::be32(kHeight) +
                    testsupport::be32(0) + testsupport::be32(0);
    r.resize(r.size() + std::size_t{kWidth} * kHeight * 3);
    uint32_t x = 12345;
    for (std::size_t i = 20; i < r.size(); i++) {
        x = x * 1103515245u + 12345u;
        r[i] = static_cast<char>(x >> 16);
    }
    return r;
}

// One server under test: its port, the key it admits, the pid to watch.
struct Target {
    const char *name;
    int port = 0;
    pid_t pid = -1;
    uint32_t key = 0;
    cl::ImageSession open() const
    {
        cl::ImageSession s =
            cl::ImageSession::Connect(cl::ParseAddress("127.0.0.1:" + std::to_string(port)), std::chrono::seconds(20));
        s.PresentKey(key, soon());
        return s;
    }
};

// Frames per second of a stream of `frames` requests sent back to back by a
// client that reads each result as it comes; 0 when an answer is missing or
// not 0.
double deepStream(const Target &t, const std::string &frame, int frames)
{
    cl::ImageSession s = t.open();
    const auto t0 = Clock::now();
    const auto p = testsupport::streamPieces(s.fd(), {frame}, static_cast<std::size_t>(frames),
                                             4 * static_cast<std::size_t>(frames), {}, std::chrono::seconds(300));
    const double dt = seconds(Clock::now() - t0);
    if (!p.done || p.received != std::string(4 * static_cast<std::size_t>(frames), '\0'))
        return 0;
    return frames / dt;
}

double oneAtATime(const Target &t, const std::string &frame, int frames)
{
    cl::ImageSession s = t.open();
    const auto pixels = std::span(reinterpret_cast<const uint8_t *>(frame.data()) + 20, frame.size() - 20);
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i)
        if (s.Show(kWidth, kHeight, 0, 0, pixels, soon()) != 0)
            return 0;
    return frames / seconds(Clock::now() - t0);
}

// Seconds until all of `n` fills sent in one write are answered; 0 on failure.
double burst(const Target &t, int n)
{
    std::string fills;
    for (int i = 0; i < n; ++i)
        fills += testsupport::be32(1) + testsupport::be32(0x102030);
    cl::ImageSession s = t.open();
    const auto t0 = Clock::now();
    const auto p = testsupport::streamPieces(s.fd(), {fills}, 1, 4 * static_cast<std::size_t>(n), {},
                                             std::chrono::seconds(600));
    const double dt = seconds(Clock::now() - t0);
    return p.done ? dt : 0;
}

int readPort(Process &p)
{
    std::string text;
    if (p.pid <= 0 || !readUntil(p.out, "ready\n", &text, 20000))
        return 0;
    const auto at = text.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 10);
}

double peakMiB(pid_t pid) { return testsupport::statusKb(pid, "VmHWM") / 1024.0; }

// CPU seconds (user + system) a process has used.
double cpuSeconds(pid_t pid) { return testsupport::cpuTicks(pid) / static_cast<double>(::sysconf(_SC_CLK_TCK)); }

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], v = argv[i + 1];
        if (opt == "--frames") o.frames = std::clamp(std::atoi(v.c_str()), 10, 1000);
        else if (opt == "--rounds") o.rounds = std::clamp(std::atoi(v.c_str()), 1, 10);
        else if (opt == "--burst") o.burst = std::clamp(std::atoi(v.c_str()), 1000, 1000000);
        else if (opt == "--viewer") o.viewer = v;
        else if (opt == "--plughost") o.plughost = v;
        else if (opt == "--ov-handler") o.ovHandler = v;
        else if (opt == "--plugin-option") o.extra.insert(o.extra.end(), {"--plugin-option", v});
        else die("unknown option " + opt);
    }
    if (o.viewer != "sink" && o.viewer != "checksum" && o.viewer != "orvane")
        die("--viewer takes sink, checksum or orvane");
    // The plug-in starts orvane.exe with -l and -s only, so the checksum
    // viewer is a script that passes the word on.
    std::string viewer = o.viewer == "orvane" ? std::string(MODULE_DIR) + "/orvane.exe" : SINK_VIEWER_EXE;

    // A module directory of its own: the plug-in under test, and the viewer as orvane.exe.
    TempDir dir;
    namespace fs = std::filesystem;
    const std::string modules = dir.file("modules");
    fs::create_directory(modules);
    fs::create_symlink(fs::absolute(o.ovHandler), modules + "/ov_handler.so");
    if (o.viewer == "checksum") {
        const std::string script = dir.file("checksum-viewer");
        if (!testsupport::writeFile(script, "#!/bin/sh\nexec '" + viewer + "' checksum\n") ||
            ::chmod(script.c_str(), 0755) != 0)
            die("cannot write " + script);
        viewer = script;
    }
    fs::create_symlink(fs::absolute(viewer), modules + "/orvane.exe");
    Env env;
    env.set = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "1920x1080"}};
    env.unset = {"DISPLAY", "WAYLAND_DISPLAY", "ORVANE_SNAPSHOT_DIR"};
    ::signal(SIGPIPE, SIG_IGN);

    Server host(o.plughost, modules, env, dir.file("plughost.log"), o.extra);
    std::string error;
    Process relayProcess = start({RELAY_EXE, viewer, "-l", "3", "-s", "10485760"}, env, true, dir.file("relay.log"),
                                 &error);
    Target plughost{"plughost+ov"}, relay{"relay"};
    plughost.port = host.port();
    plughost.pid = host.pid();
    relay.port = readPort(relayProcess);
    relay.pid = relayProcess.pid;
    relay.key = 1;
    if (plughost.port <= 0 || relay.port <= 0)
        die("a server did not start: " + host.error() + " " + error);
    const std::string frame = showRequest();
    const double frameMB = frame.size() / 1e6;

    std::vector<double> hDeep, rDeep, hOne, rOne, hPeak, rPeak, hCpu, rCpu, b1, b2;
    try {
        // The key holder stays connected: its leaving would close every other client.
        cl::ImageSession holder = cl::ImageSession::Connect(cl::ParseAddress(host.address()), std::chrono::seconds(20));
        plughost.key = holder.RequestKey(soon());
        deepStream(plughost, frame, 5); // warm-up: buffers and the viewer
        deepStream(relay, frame, 5);
        for (int r = 0; r < o.rounds; ++r) {
            for (int k = 0; k < 2; ++k) {
                const bool ours = (k == 0) == (r % 2 == 0);
                const Target &t = ours ? plughost : relay;
                testsupport::resetPeakRss(t.pid);
                const double cpu = cpuSeconds(t.pid);
                const double fps = deepStream(t, frame, o.frames);
                (ours ? hCpu : rCpu).push_back(1000 * (cpuSeconds(t.pid) - cpu) / o.frames);
                (ours ? hDeep : rDeep).push_back(fps);
                (ours ? hPeak : rPeak).push_back(peakMiB(t.pid));
            }
            for (int k = 0; k < 2; ++k) {
                const bool ours = (k == 0) == (r % 2 == 1);
                (ours ? hOne : rOne).push_back(oneAtATime(ours ? plughost : relay, frame, o.frames));
            }
            std::printf("round %d: deep stream %.1f vs %.1f frames/s (server CPU %.2f vs %.2f ms a frame, peak RSS "
                        "%.1f vs %.1f MiB); one at a time %.1f vs %.1f frames/s\n",
                        r + 1, hDeep.back(), rDeep.back(), hCpu.back(), rCpu.back(), hPeak.back(), rPeak.back(),
                        hOne.back(), rOne.back());
            std::fflush(stdout);
        }
        if (o.viewer == "sink") {
            for (int r = 0; r < o.rounds; ++r) {
                b1.push_back(burst(plughost, o.burst / 2));
                b2.push_back(burst(plughost, o.burst));
                std::printf("burst: %d fills answered in %.2f s, %d in %.2f s\n", o.burst / 2, b1.back(), o.burst,
                            b2.back());
                std::fflush(stdout);
            }
        }
    } catch (const cl::ClientError &e) {
        die(e.what());
    }

    const double hd = median(hDeep), rd = median(rDeep), ho = median(hOne), ro = median(rOne);
    const double hp = *std::max_element(hPeak.begin(), hPeak.end());
    const double rp = *std::max_element(rPeak.begin(), rPeak.end());
    std::printf("\n%d full-HD frames (%.2f MB each), viewer %s, median of %d rounds\n", o.frames, frameMB,
                o.viewer.c_str(), o.rounds);
    std::printf("  %-26s %12s %12s %7s  %s\n", "measure", "plughost+ov", "relay", "ratio", "goal");
    std::printf("  %-26s %8.1f f/s %8.1f f/s %7.2f  %s\n", "deep stream", hd, rd, hd / rd, ">= 0.9");
    std::printf("  %-26s %7.0f MB/s %7.0f MB/s\n", "", hd * frameMB, rd * frameMB);
    const double hc = median(hCpu), rc = median(rCpu);
    std::printf("  %-26s %9.2f ms %9.2f ms %7.2f  %s\n", "server CPU a frame (stream)", hc, rc, hc / rc,
                "(reported)");
    std::printf("  %-26s %8.1f MiB %8.1f MiB %7s  %s\n", "peak RSS in the stream", hp, rp, "", "<= 100 MiB");
    std::printf("  %-26s %8.1f f/s %8.1f f/s %7.2f  %s\n", "one at a time", ho, ro, ho / ro, ">= 0.9");
    const std::string tag = o.viewer == "sink" ? "" : "_" + o.viewer;
    bench::result("ov_deep_stream" + tag, hd, rd, "frames/s", "ratio>=0.9");
    bench::result("ov_deep_stream_peak_rss" + tag, hp, rp, "MiB", "ours<=100");
    bench::result("ov_deep_stream_server_cpu_per_frame" + tag, hc, rc, "ms", "reported");
    bench::result("ov_one_at_a_time" + tag, ho, ro, "frames/s", "ratio>=0.9");
    if (!b1.empty()) {
        const double s1 = median(b1), s2 = median(b2);
        std::printf("  %-26s %8.2f s %10.2f s %7.2f  %s\n", "burst of fills (half, all)", s1, s2, s2 / s1,
                    "ratio ~2 (linear)");
        bench::result("ov_burst_fills_per_second", o.burst / s2, o.burst / 2 / s1, "fills/s", "ratio~1 (linear)");
    }
    host.stop();
    signalProcess(relayProcess.pid, SIGTERM);
    waitExit(relayProcess, 20000);
    return 0;
}
