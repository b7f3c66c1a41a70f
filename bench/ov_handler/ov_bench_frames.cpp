// 1920x1080 RGB frames from the client library through plughost, ov_handler
// and the headless viewer (no snapshots), beside ov_relay feeding the same
// viewer program, in one run: one frame at a time (send, wait for the
// result) and pipelined (a window of frames in flight).
//   ov_bench_frames [--rounds N] [--frames N] [--pipelined N] [--window N]
// Prints a table and "RESULT name ours=X baseline=Y unit=U goal=G" lines.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>
#include <span>
#include <string>
#include <vector>

#include "clientlib/clientlib.h"
#include "ov_process.h"

namespace cl = clientlib;
using namespace ovtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWidth = 1920, kHeight = 1080;
constexpr double kRequestBytes = 20.0 + kWidth * kHeight * 3;

cl::Deadline soon() { return cl::Deadline::After(std::chrono::seconds(30)); }

cl::ImageSession connect(int port)
{
    return cl::ImageSession::Connect(cl::ParseAddress("127.0.0.1:" + std::to_string(port)), std::chrono::seconds(20));
}

// The key each server admits (the host's is issued to a holder that stays
// connected throughout, since its leaving closes every other client).
uint32_t hostKey = 0, relayKey = 1;
int hostPort = 0;

cl::ImageSession open(int port)
{
    cl::ImageSession s = connect(port);
    s.PresentKey(port == hostPort ? hostKey : relayKey, soon());
    return s;
}

// Frames per second, one at a time.
double oneAtATime(int port, const std::vector<uint8_t> &pixels, int frames, uint32_t width = kWidth,
                  uint32_t height = kHeight)
{
    const std::span<const uint8_t> rgb(pixels.data(), size_t{width} * height * 3);
    cl::ImageSession s = open(port);
    for (int i = 0; i < 3; ++i)
        if (s.Show(width, height, 0, 0, rgb, soon()) != 0)
            return 0;
    auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i)
        if (s.Show(width, height, 0, 0, rgb, soon()) != 0)
            return 0;
    return frames / std::chrono::duration<double>(Clock::now() - t0).count();
}

// Frames per second one at a time against the frame size, both servers, for
// the report's plot: <BENCH_OUT_DIR>/ov_frames_vs_size.xy.
void sizeSweep(int relayPort, int hostPortNow, const std::vector<uint8_t> &pixels)
{
    const std::pair<uint32_t, uint32_t> sizes[] = {{64, 36},   {160, 90},   {320, 180},
                                                   {640, 360}, {1280, 720}, {1920, 1080}};
    const char *dir = std::getenv("BENCH_OUT_DIR");
    std::FILE *xy = dir && *dir ? std::fopen((std::string(dir) + "/ov_frames_vs_size.xy").c_str(), "w") : nullptr;
    if (xy)
        std::fprintf(xy, "# frame_size_(kB) plughost+ov relay\n");
    std::printf("\nframes per second one at a time, by frame size:\n  %-12s %12s %12s %7s\n", "size",
                "plughost+ov", "relay", "ratio");
    for (auto [w, h] : sizes) {
        const double bytes = 20.0 + double(w) * h * 3;
        const int frames = std::clamp(int(150e6 / bytes), 30, 2000);
        const double r = oneAtATime(relayPort, pixels, frames, w, h);
        const double o = oneAtATime(hostPortNow, pixels, frames, w, h);
        std::printf("  %5ux%-6u %12.1f %12.1f %7.2f\n", w, h, o, r, o / r);
        if (xy)
            std::fprintf(xy, "%.1f %.1f %.1f\n", bytes / 1000, o, r);
    }
    if (xy)
        std::fclose(xy);
}

// Frames per second with `window` frames in flight.
double pipelined(int port, const std::vector<uint8_t> &pixels, int frames, int window)
{
    cl::ImageSession s = open(port);
    if (s.Show(kWidth, kHeight, 0, 0, pixels, soon()) != 0)
        return 0;
    auto t0 = Clock::now();
    int sent = 0, done = 0;
    while (sent < std::min(window, frames)) {
        s.SendShow(kWidth, kHeight, 0, 0, pixels, soon());
        ++sent;
    }
    while (done < frames) {
        if (s.ReadResult(soon()) != 0)
            return 0;
        ++done;
        if (sent < frames) {
            s.SendShow(kWidth, kHeight, 0, 0, pixels, soon());
            ++sent;
        }
    }
    return frames / std::chrono::duration<double>(Clock::now() - t0).count();
}

// utime + stime of a process in seconds; 0 when unreadable.
double cpuSeconds(pid_t pid)
{
    FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char line[1024];
    size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    line[n] = 0;
    const char *p = std::strrchr(line, ')');
    unsigned long long ut = 0, st = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return 0;
    return double(ut + st) / double(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int readPort(Process &p)
{
    std::string text;
    if (p.pid <= 0 || !readUntil(p.out, "ready\n", &text, 20000))
        return 0;
    auto at = text.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 10);
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 3, frames = 100, pipelinedFrames = 200, window = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (opt == "--rounds") rounds = std::clamp(v, 1, 10);
        else if (opt == "--frames") frames = std::clamp(v, 10, 2000);
        else if (opt == "--pipelined") pipelinedFrames = std::clamp(v, 10, 4000);
        else if (opt == "--window") window = std::clamp(v, 2, 16); // 16 frames: 100 MB, below --max-input
    }
    TempDir dir;
    Env env;
    env.set = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "1920x1080"}};
    env.unset = {"DISPLAY", "WAYLAND_DISPLAY", "ORVANE_SNAPSHOT_DIR"};
    Server host(PLUGHOST_EXE, MODULE_DIR, env, dir.file("plughost.log"));
    std::string error;
    Process relay = start({RELAY_EXE, std::string(MODULE_DIR) + "/orvane.exe", "-l", "3", "-s", "10485760"}, env,
                          true, dir.file("relay.log"), &error);
    const int relayPort = readPort(relay);
    if (host.port() <= 0 || relayPort <= 0) {
        std::fprintf(stderr, "ov_bench_frames: a server did not start: %s %s\n", host.error().c_str(),
                     error.c_str());
        return 1;
    }
    std::vector<uint8_t> pixels(size_t{kWidth} * kHeight * 3);
    uint32_t x = 12345;
    for (auto &b : pixels) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }

    std::vector<double> hOne, rOne, hPipe, rPipe;
    // Server CPU (the viewer excluded) per frame: less sensitive than rates
    // to other load on the machine.
    double hCpu = 0, rCpu = 0;
    long long hFrames = 0, rFrames = 0;
    auto timed = [&](bool isHost, auto &&fn) {
        const pid_t pid = isHost ? host.pid() : relay.pid;
        const double before = cpuSeconds(pid);
        const double rate = fn();
        (isHost ? hCpu : rCpu) += cpuSeconds(pid) - before;
        return rate;
    };
    try {
        hostPort = host.port();
        cl::ImageSession holder = connect(hostPort);
        hostKey = holder.RequestKey(soon());
        for (int r = 0; r < rounds; ++r) {
            double h1, r1, hp, rp;
            auto one = [&](bool isHost) {
                return timed(isHost, [&] { return oneAtATime(isHost ? host.port() : relayPort, pixels, frames); });
            };
            auto pipe = [&](bool isHost) {
                return timed(isHost, [&] {
                    return pipelined(isHost ? host.port() : relayPort, pixels, pipelinedFrames, window);
                });
            };
            if (r % 2 == 0) {
                r1 = one(false);
                h1 = one(true);
                rp = pipe(false);
                hp = pipe(true);
            } else {
                h1 = one(true);
                r1 = one(false);
                hp = pipe(true);
                rp = pipe(false);
            }
            hFrames += frames + 3 + pipelinedFrames + 1;
            rFrames += frames + 3 + pipelinedFrames + 1;
            std::printf("round %d: frames/s one at a time: plughost+ov %.1f, relay %.1f; pipelined (%d in flight): "
                        "%.1f vs %.1f\n",
                        r + 1, h1, r1, window, hp, rp);
            std::fflush(stdout);
            hOne.push_back(h1), rOne.push_back(r1), hPipe.push_back(hp), rPipe.push_back(rp);
        }
        sizeSweep(relayPort, host.port(), pixels);
    } catch (const cl::ClientError &e) {
        std::fprintf(stderr, "ov_bench_frames: %s\n", e.what());
        return 1;
    }
    const double h1 = median(hOne), r1 = median(rOne), hp = median(hPipe), rp = median(rPipe);
    const double mb = kRequestBytes / 1e6;
    std::printf("\n1920x1080 RGB frames (%.2f MB per request), median of %d rounds (%d frames one at a time, %d "
                "pipelined)\n",
                mb, rounds, frames, pipelinedFrames);
    std::printf("  %-22s %12s %12s %7s  %s\n", "measure", "plughost+ov", "relay", "ratio", "goal");
    std::printf("  %-22s %8.1f f/s %8.1f f/s %7.2f  %s\n", "one at a time", h1, r1, h1 / r1, ">= 0.80");
    std::printf("  %-22s %7.0f MB/s %7.0f MB/s %7.2f\n", "", h1 * mb, r1 * mb, h1 / r1);
    std::printf("  %-22s %8.1f f/s %8.1f f/s %7.2f  %s\n", "pipelined", hp, rp, hp / rp, ">= 0.80");
    std::printf("  %-22s %7.0f MB/s %7.0f MB/s %7.2f\n", "", hp * mb, rp * mb, hp / rp);
    const double hMs = 1000 * hCpu / double(hFrames), rMs = 1000 * rCpu / double(rFrames);
    std::printf("  %-22s %9.2f ms %9.2f ms %7.2f  %s\n", "server CPU per frame", hMs, rMs, hMs / rMs, "(reported)");
    std::printf("RESULT server_cpu_per_frame ours=%.3f baseline=%.3f unit=ms goal=reported\n", hMs, rMs);
    std::printf("RESULT frames_one_at_a_time ours=%.1f baseline=%.1f unit=frames/s goal=ratio>=0.8\n", h1, r1);
    std::printf("RESULT bytes_one_at_a_time ours=%.0f baseline=%.0f unit=B/s goal=ratio>=0.8\n", h1 * kRequestBytes,
                r1 * kRequestBytes);
    std::printf("RESULT frames_pipelined ours=%.1f baseline=%.1f unit=frames/s goal=ratio>=0.8\n", hp, rp);
    std::printf("RESULT bytes_pipelined ours=%.0f baseline=%.0f unit=B/s goal=ratio>=0.8\n", hp * kRequestBytes,
                rp * kRequestBytes);
    host.stop();
    signalProcess(relay.pid, SIGTERM);
    waitExit(relay, 20000);
    return 0;
}
