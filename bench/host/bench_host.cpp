// Round trip, throughput and idle wake-ups of plughost (with the bench
// plug-in) beside a minimal epoll server, in one run.
//   bench_host [--rounds N] [--exchanges N] [--clients N] [--idle-seconds S]
#include "../common/exchange.h"
#include "../common/report.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kRequest = 12, kAnswer = 28;

struct Server {
    pid_t pid = 0;
    int port = 0;
};

// Starts argv and waits (at most 20 s) for "listening on 127.0.0.1:PORT" and "ready".
Server startServer(std::vector<std::string> args)
{
    Server s;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return s;
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (::posix_spawn(&s.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        s.pid = 0;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string text;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (s.pid > 0 && text.find("ready\n") == std::string::npos && Clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            continue;
        char buf[1024];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    const auto at = text.find("listening on 127.0.0.1:");
    if (at != std::string::npos && text.find("ready\n") != std::string::npos)
        s.port = std::atoi(text.c_str() + at + 23);
    return s;
}

void stopServer(Server &s)
{
    if (s.pid > 0) {
        ::kill(s.pid, SIGTERM);
        ::waitpid(s.pid, nullptr, 0);
        s.pid = 0;
    }
}

int connectTo(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool exchange(int fd)
{
    char req[kRequest] = "abcdefghijk", ans[kAnswer];
    if (::send(fd, req, kRequest, MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest))
        return false;
    size_t got = 0;
    while (got < kAnswer) {
        const ssize_t n = ::recv(fd, ans + got, kAnswer - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

struct Latency {
    double medianUs = 0, p99Us = 0;
    std::vector<double> samples;
};

// Round trips on the two servers taken alternately, one exchange each in
// turn, so both meet the same machine state (this VM's idle wake-ups make
// whole runs jump between about 5 and 60 us).
std::pair<Latency, Latency> roundTrips(int portA, int portB, int exchanges)
{
    std::pair<Latency, Latency> out;
    const int a = connectTo(portA), b = connectTo(portB);
    if (a >= 0 && b >= 0) {
        bool ok = true;
        for (int i = 0; i < 1000 && ok; ++i)
            ok = exchange(a) && exchange(b);
        std::vector<double> usA, usB;
        usA.reserve(static_cast<size_t>(exchanges));
        usB.reserve(static_cast<size_t>(exchanges));
        for (int i = 0; i < exchanges && ok; ++i) {
            const auto t0 = Clock::now();
            ok = exchange(a);
            const auto t1 = Clock::now();
            ok = ok && exchange(b);
            const auto t2 = Clock::now();
            if (ok) {
                usA.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                usB.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
            }
        }
        auto summary = [](std::vector<double> &us, Latency &l) {
            if (us.empty())
                return;
            l.samples = us;
            std::sort(us.begin(), us.end());
            l.medianUs = us[us.size() / 2];
            l.p99Us = us[us.size() * 99 / 100];
        };
        summary(usA, out.first);
        summary(usB, out.second);
    }
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
    return out;
}

// Exchanges per second with `clients` connections, each keeping one request
// outstanding until `total` answers are in.
double throughput(int port, int clients, int total)
{
    static const char req[kRequest] = "abcdefghijk";
    std::vector<int> fds;
    double rate = 0;
    for (int i = 0; i < clients; ++i) {
        const int fd = connectTo(port);
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    if (static_cast<int>(fds.size()) == clients)
        rate = bench::exchangesPerSecond(fds, req, kRequest, kAnswer, total);
    for (int fd : fds)
        ::close(fd);
    return rate;
}

long contextSwitches(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    long total = 0;
    while (std::getline(in, line))
        if (line.find("ctxt_switches:") != std::string::npos)
            total += std::atol(line.c_str() + line.find(':') + 1);
    return total;
}

std::string selfDir()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/'));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 3, exchanges = 20000, clients = 50, total = 200000, idleSeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (opt == "--rounds") rounds = std::clamp(v, 1, 20);
        else if (opt == "--exchanges") exchanges = std::clamp(v, 100, 1000000);
        else if (opt == "--clients") clients = std::clamp(v, 1, 500);
        else if (opt == "--total") total = std::clamp(v, 1000, 2000000);
        else if (opt == "--idle-seconds") idleSeconds = std::clamp(v, 0, 60);
    }
    const std::string dir = selfDir();
    Server host = startServer({PLUGHOST_BIN, "--module-dir", dir + "/modules", "--listen", "bench_echo=127.0.0.1:0"});
    Server base = startServer({dir + "/bench_baseline_server"});
    if (!host.port || !base.port) {
        std::fprintf(stderr, "bench_host: a server did not start\n");
        stopServer(host);
        stopServer(base);
        return 1;
    }
    std::vector<double> hMed, hP99, bMed, bP99, hRate, bRate;
    for (int r = 0; r < rounds; ++r) {
        Latency b, h;
        bench::pinToOneCore({0, host.pid, base.pid}, true);
        if (r % 2 == 0)
            std::tie(b, h) = roundTrips(base.port, host.port, exchanges);
        else
            std::tie(h, b) = roundTrips(host.port, base.port, exchanges);
        bench::pinToOneCore({0, host.pid, base.pid}, false);
        const double br = throughput(base.port, clients, total), hr = throughput(host.port, clients, total);
        std::printf("round %d: rtt median/p99 us: plughost %.1f/%.1f baseline %.1f/%.1f; "
                    "%d clients req/s: plughost %.0f baseline %.0f\n",
                    r + 1, h.medianUs, h.p99Us, b.medianUs, b.p99Us, clients, hr, br);
        hMed.push_back(h.medianUs), hP99.push_back(h.p99Us), bMed.push_back(b.medianUs), bP99.push_back(b.p99Us);
        hRate.push_back(hr), bRate.push_back(br);
        if (r == 0) {
            bench::samples("host_rtt_plughost", h.samples);
            bench::samples("host_rtt_baseline", b.samples);
        }
    }
    const double hm = median(hMed), bm = median(bMed), hr = median(hRate), br = median(bRate);
    std::printf("\nmedian of %d rounds (%d exchanges each for RTT, %d exchanges over %d clients):\n", rounds,
                exchanges, total, clients);
    std::printf("  RTT median   plughost %7.1f us   baseline %7.1f us   ratio %.2f (goal <= 1.20)\n", hm, bm,
                hm / bm);
    std::printf("  RTT p99      plughost %7.1f us   baseline %7.1f us   ratio %.2f\n", median(hP99), median(bP99),
                median(hP99) / median(bP99));
    std::printf("  throughput   plughost %7.0f /s   baseline %7.0f /s   ratio %.2f (goal >= 0.90)\n", hr, br,
                hr / br);
    bench::result("host_rtt_median", hm, bm, "us", "<=1.2x");
    bench::result("host_rtt_p99", median(hP99), median(bP99), "us", "-");
    bench::result("host_throughput_50_clients", hr, br, "req/s", ">=0.9x");

    if (idleSeconds > 0) {
        // Let the host finish with the benchmark's closing clients first.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long before = contextSwitches(host.pid);
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const long after = contextSwitches(host.pid);
        std::printf("  idle plughost: %ld wake-ups (context switches) in %d s (goal 0)\n", after - before,
                    idleSeconds);
        bench::result("host_idle_wakeups_" + std::to_string(idleSeconds) + "s", double(after - before), 0, "wakeups",
                      "0");
    }
    stopServer(host);
    stopServer(base);
    return 0;
}
