// Time-stamp exchange (12-byte request, 28-byte answer) through plughost and
// ov_handler beside a bare epoll server doing the same exchange, in one run:
// round trip of one client (median, p99) and exchanges per second with many
// clients each keeping one request outstanding.
//   ov_bench_clock [--rounds N] [--exchanges N] [--clients N] [--total N]
// Prints a table and "RESULT name ours=X baseline=Y unit=U goal=G" lines.
#include "../common/exchange.h"
#include "../common/report.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ov_process.h"

using namespace ovtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kRequest = 12, kAnswer = 28;
const unsigned char kTimeStamp[kRequest] = {0, 0, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8};

int connectTo(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool readExact(int fd, void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

uint32_t word(const unsigned char *p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// Connects to the image service and passes the key handshake: key 0 asks for
// the key (*key is set), any other key is presented. -1 on failure.
int connectImage(int port, uint32_t *key)
{
    int fd = connectTo(port);
    unsigned char b[8];
    if (fd < 0 || !readExact(fd, b, 4) || word(b) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    unsigned char k[4] = {uint8_t(*key >> 24), uint8_t(*key >> 16), uint8_t(*key >> 8), uint8_t(*key)};
    bool ok = ::send(fd, k, 4, MSG_NOSIGNAL) == 4 && readExact(fd, b, *key == 0 ? 8 : 4) && word(b) == 0;
    if (ok && *key == 0)
        *key = word(b + 4);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool exchange(int fd)
{
    unsigned char ans[kAnswer];
    return ::send(fd, kTimeStamp, kRequest, MSG_NOSIGNAL) == static_cast<ssize_t>(kRequest) &&
           readExact(fd, ans, kAnswer);
}

struct Latency {
    double median = 0, p99 = 0;
};

// Round trips on two connections taken alternately, one exchange each in
// turn, so both servers meet the same machine state (this VM's idle wake-ups
// make whole runs jump between about 5 and 60 us).
std::pair<Latency, Latency> interleaved(int fdA, int fdB, int exchanges)
{
    std::pair<Latency, Latency> out;
    for (int i = 0; i < 1000; ++i)
        if (!exchange(fdA) || !exchange(fdB))
            return out;
    std::vector<double> a, b;
    a.reserve(static_cast<size_t>(exchanges));
    b.reserve(static_cast<size_t>(exchanges));
    for (int i = 0; i < exchanges; ++i) {
        auto t0 = Clock::now();
        if (!exchange(fdA))
            return out;
        auto t1 = Clock::now();
        if (!exchange(fdB))
            return out;
        auto t2 = Clock::now();
        a.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        b.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    auto summary = [](std::vector<double> &v, Latency &l) {
        std::sort(v.begin(), v.end());
        l.median = v[v.size() / 2];
        l.p99 = v[v.size() * 99 / 100];
    };
    summary(a, out.first);
    summary(b, out.second);
    return out;
}

double throughput(const std::vector<int> &fds, int total)
{
    return bench::exchangesPerSecond(fds, kTimeStamp, kRequest, kAnswer, total);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 5, exchanges = 20000, clients = 50, total = 200000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (opt == "--rounds") rounds = std::clamp(v, 1, 10);
        else if (opt == "--exchanges") exchanges = std::clamp(v, 100, 200000);
        else if (opt == "--clients") clients = std::clamp(v, 1, 500);
        else if (opt == "--total") total = std::clamp(v, 1000, 1000000);
    }
    TempDir dir;
    // The viewer stays idle: headless, a small canvas, no snapshots.
    Env env;
    env.set = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "64x64"}};
    env.unset = {"DISPLAY", "WAYLAND_DISPLAY", "ORVANE_SNAPSHOT_DIR"};
    Server host(PLUGHOST_EXE, MODULE_DIR, env, dir.file("plughost.log"));
    std::string error;
    Process base = start({BASELINE_EXE}, Env{}, true, dir.file("baseline.log"), &error);
    std::string text;
    int basePort = 0;
    if (base.pid > 0 && readUntil(base.out, "ready\n", &text, 20000)) {
        auto at = text.find("127.0.0.1:");
        if (at != std::string::npos)
            basePort = std::atoi(text.c_str() + at + 10);
    }
    if (host.port() <= 0 || basePort <= 0) {
        std::fprintf(stderr, "ov_bench_clock: a server did not start: %s %s\n", host.error().c_str(), error.c_str());
        return 1;
    }

    // The key holder stays connected throughout: its leaving would close the others.
    uint32_t key = 0;
    const int holder = connectImage(host.port(), &key);
    if (holder < 0) {
        std::fprintf(stderr, "ov_bench_clock: no key from the image service\n");
        return 1;
    }

    std::vector<double> hMed, hP99, bMed, bP99, hRate, bRate;
    for (int r = 0; r < rounds; ++r) {
        int hfd = connectImage(host.port(), &key), bfd = connectTo(basePort);
        Latency h, b;
        bench::pinToOneCore({0, host.pid(), base.pid}, true);
        if (r % 2 == 0)
            std::tie(b, h) = interleaved(bfd, hfd, exchanges);
        else
            std::tie(h, b) = interleaved(hfd, bfd, exchanges);
        bench::pinToOneCore({0, host.pid(), base.pid}, false);
        ::close(hfd);
        ::close(bfd);
        std::vector<int> hfds, bfds;
        for (int i = 0; i < clients; ++i) {
            hfds.push_back(connectImage(host.port(), &key));
            bfds.push_back(connectTo(basePort));
        }
        if (std::count(hfds.begin(), hfds.end(), -1) || std::count(bfds.begin(), bfds.end(), -1)) {
            std::fprintf(stderr, "ov_bench_clock: cannot connect %d clients\n", clients);
            return 1;
        }
        double hr, br;
        if (r % 2 == 0) {
            br = throughput(bfds, total);
            hr = throughput(hfds, total);
        } else {
            hr = throughput(hfds, total);
            br = throughput(bfds, total);
        }
        for (int fd : hfds)
            ::close(fd);
        for (int fd : bfds)
            ::close(fd);
        std::printf("round %d: round trip median/p99 us: plughost+ov_handler %.1f/%.1f, epoll baseline %.1f/%.1f; "
                    "%d clients exchanges/s: %.0f vs %.0f\n",
                    r + 1, h.median, h.p99, b.median, b.p99, clients, hr, br);
        hMed.push_back(h.median), hP99.push_back(h.p99), bMed.push_back(b.median), bP99.push_back(b.p99);
        hRate.push_back(hr), bRate.push_back(br);
    }
    ::close(holder);
    const double hm = median(hMed), bm = median(bMed), hp = median(hP99), bp = median(bP99);
    const double hr = median(hRate), br = median(bRate);
    std::printf("\nTime-stamp exchange, median of %d rounds (%d exchanges for the round trip; %d over %d clients)\n",
                rounds, exchanges, total, clients);
    std::printf("  %-24s %14s %14s %7s  %s\n", "measure", "plughost+ov", "epoll baseline", "ratio", "goal");
    std::printf("  %-24s %11.1f us %11.1f us %7.2f  %s\n", "round trip median", hm, bm, hm / bm, "<= 1.20");
    std::printf("  %-24s %11.1f us %11.1f us %7.2f  %s\n", "round trip p99", hp, bp, hp / bp, "(reported)");
    std::printf("  %-24s %11.0f /s %11.0f /s %7.2f  %s\n", "exchanges/s, 50 clients", hr, br, hr / br, ">= 0.90");
    std::printf("RESULT clock_round_trip_median ours=%.1f baseline=%.1f unit=us goal=ratio<=1.2\n", hm, bm);
    std::printf("RESULT clock_round_trip_p99 ours=%.1f baseline=%.1f unit=us goal=reported\n", hp, bp);
    std::printf("RESULT clock_exchanges_per_second_%d_clients ours=%.0f baseline=%.0f unit=1/s goal=ratio>=0.9\n",
                clients, hr, br);
    host.stop();
    signalProcess(base.pid, SIGTERM);
    waitExit(base, 20000);
    return 0;
}
