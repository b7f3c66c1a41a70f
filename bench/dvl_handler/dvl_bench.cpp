// File-follow benchmark: latency from a write() to the followed file until the
// client library holds the whole new version, beside `inotifywait -m` printing
// its event for the same writes; then the CPU time that plughost and the
// watchers use while many followed files stay idle.
//
//   dvl_bench [--changes N] [--idle-files N] [--idle-seconds S]
//             [--plughost PATH] [--module-dir DIR]
#include "../common/report.h"
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clientlib/clientlib.h"
#include "dvl_process.h"

extern char **environ;

namespace cl = clientlib;
using namespace dvltest;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int changes = 1000;
    int idleFiles = 100;
    int idleSeconds = 10;
    std::string plughost = PLUGHOST_EXE;
    std::string moduleDir = MODULE_DIR;
};

[[noreturn]] void die(const std::string &why)
{
    std::fprintf(stderr, "dvl_bench: %s\n", why.c_str());
    std::exit(1);
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Stats {
    double median = 0, p99 = 0, min = 0, max = 0;
};

Stats stats(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, (v.size() * 99) / 100)];
    s.min = v.front();
    s.max = v.back();
    return s;
}

// inotifywait -m on the file, its standard output and error on one pipe.
struct Inotify {
    pid_t pid = -1;
    int out = -1;
};

Inotify startInotify(const std::string &file)
{
    Inotify in;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        die("pipe failed");
    posix_spawn_file_actions_t a;
    posix_spawn_file_actions_init(&a);
    posix_spawn_file_actions_adddup2(&a, p[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&a, p[1], STDERR_FILENO);
    const char *argv[] = {"inotifywait", "-m", "-e", "modify", "--format", "%e", file.c_str(), nullptr};
    int rc = ::posix_spawnp(&in.pid, "inotifywait", &a, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&a);
    ::close(p[1]);
    if (rc != 0)
        die(std::string("cannot start inotifywait: ") + std::strerror(rc));
    in.out = p[0];
    std::string got;
    if (!readUntil(in.out, "Watches established.\n", &got, 20000))
        die("inotifywait did not establish its watch: " + got);
    return in;
}

void stopInotify(Inotify &in)
{
    if (in.pid > 0) {
        ::kill(in.pid, SIGTERM);
        int status;
        ::waitpid(in.pid, &status, 0);
    }
    ::close(in.out);
}

// Events seen by the two readers, stamped when complete.
struct Arrivals {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Clock::time_point> inotify, dvl;
    std::string error;
};

void latency(const Options &o, Server &server, const TempDir &dir)
{
    const std::string file = dir.file("latency.txt");
    const std::size_t kSize = 64;
    auto content = [&](int i) {
        std::string c = "change " + std::to_string(i);
        c.resize(kSize - 1, ' ');
        return c + "\n";
    };
    if (!writeFile(file, content(-1)))
        die("cannot write " + file);

    cl::FollowSession s = cl::FollowSession::Connect(cl::ParseAddress(server.address()), std::chrono::seconds(20));
    s.Start(file, cl::Deadline::After(std::chrono::seconds(20)));
    if (s.Next(cl::Deadline::After(std::chrono::seconds(20))).content != content(-1))
        die("first version wrong");
    Inotify in = startInotify(file);

    int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open " + file);

    Arrivals arr;
    arr.inotify.reserve(o.changes);
    arr.dvl.reserve(o.changes);
    std::thread inotifyReader([&] {
        std::string pending;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(in.out, buf, sizeof buf);
            if (n <= 0)
                return;
            auto now = Clock::now();
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t lines = 0, at;
            while ((at = pending.find('\n')) != std::string::npos) {
                pending.erase(0, at + 1);
                ++lines;
            }
            std::lock_guard<std::mutex> l(arr.m);
            for (std::size_t k = 0; k < lines; ++k)
                arr.inotify.push_back(now);
            arr.cv.notify_all();
        }
    });
    std::thread dvlReader([&] {
        for (int i = 0; i < o.changes; ++i) {
            cl::FollowEvent ev;
            try {
                ev = s.Next(cl::Deadline::After(std::chrono::seconds(20)));
            } catch (const std::exception &e) {
                std::lock_guard<std::mutex> l(arr.m);
                arr.error = e.what();
                arr.cv.notify_all();
                return;
            }
            auto now = Clock::now();
            std::lock_guard<std::mutex> l(arr.m);
            if (ev.kind != cl::FollowEvent::Kind::Version || ev.content != content(i)) {
                arr.error = "version " + std::to_string(i) + " wrong or missing";
                arr.cv.notify_all();
                return;
            }
            arr.dvl.push_back(now);
            arr.cv.notify_all();
        }
    });

    std::vector<double> dvlLat, inoLat;
    for (int i = 0; i < o.changes; ++i) {
        const std::string c = content(i);
        auto t0 = Clock::now();
        if (::pwrite(fd, c.data(), c.size(), 0) != static_cast<ssize_t>(c.size()))
            die("pwrite failed");
        std::unique_lock<std::mutex> l(arr.m);
        bool ok = arr.cv.wait_for(l, std::chrono::seconds(20), [&] {
            return !arr.error.empty() ||
                   (arr.inotify.size() > static_cast<std::size_t>(i) && arr.dvl.size() > static_cast<std::size_t>(i));
        });
        if (!ok || !arr.error.empty())
            die("change " + std::to_string(i) + ": " + (ok ? arr.error : std::string("timed out")));
        dvlLat.push_back(micros(arr.dvl[i] - t0));
        inoLat.push_back(micros(arr.inotify[i] - t0));
    }
    dvlReader.join();
    ::close(fd);
    stopInotify(in); // ends the inotify reader with end of file
    inotifyReader.join();

    Stats d = stats(dvlLat), n = stats(inoLat);
    std::printf("latency over %d changes of %zu bytes (write() to delivery), microseconds:\n", o.changes, kSize);
    std::printf("  %-36s median %8.1f  p99 %8.1f  min %8.1f  max %8.1f\n", "dvl_handler via TCP (whole version)",
                d.median, d.p99, d.min, d.max);
    std::printf("  %-36s median %8.1f  p99 %8.1f  min %8.1f  max %8.1f\n", "inotifywait -m (event line)", n.median,
                n.p99, n.min, n.max);
    std::printf("  ratio of medians %.2f, of p99 %.2f (goal: within 3x)\n", d.median / n.median, d.p99 / n.p99);
    bench::samples("dvl_latency", dvlLat);
    bench::samples("dvl_inotifywait_latency", inoLat);
    bench::result("dvl_latency_median", d.median, n.median, "us", "<=3x (inotifywait)");
    bench::result("dvl_latency_p99", d.p99, n.p99, "us", "-");
}

void idleCpu(const Options &o, const Server &server, const TempDir &dir)
{
    std::vector<cl::FollowSession> sessions;
    for (int i = 0; i < o.idleFiles; ++i) {
        const std::string file = dir.file("idle" + std::to_string(i));
        if (!writeFile(file, "idle " + std::to_string(i) + "\n"))
            die("cannot write " + file);
        sessions.push_back(
            cl::FollowSession::Connect(cl::ParseAddress(server.address()), std::chrono::seconds(20)));
        sessions.back().Start(file, cl::Deadline::After(std::chrono::seconds(20)));
        if (sessions.back().Next(cl::Deadline::After(std::chrono::seconds(20))).kind !=
            cl::FollowEvent::Kind::Version)
            die("no first version for " + file);
    }
    std::vector<pid_t> watchers = childrenNamed(server.pid(), "dorvel.exe");
    if (watchers.size() != static_cast<std::size_t>(o.idleFiles))
        die("expected " + std::to_string(o.idleFiles) + " watchers, found " + std::to_string(watchers.size()));

    auto total = [&] {
        long long t = cpuTicks(server.pid());
        for (pid_t w : watchers)
            t += cpuTicks(w);
        return t;
    };
    long long hostBefore = cpuTicks(server.pid());
    long long before = total();
    auto t0 = Clock::now();
    timespec ts{o.idleSeconds, 0};
    while (::nanosleep(&ts, &ts) != 0) {
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    long long hostAfter = cpuTicks(server.pid());
    long long after = total();
    const double tick = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::printf("idle: %d followed files for %.1f s: CPU time (utime+stime) plughost %.0f ms, plughost + %zu "
                "watchers %.0f ms (tick %.0f ms; goal: zero)\n",
                o.idleFiles, elapsed, (hostAfter - hostBefore) * tick, watchers.size(), (after - before) * tick, tick);
    bench::result("dvl_idle_cpu_" + std::to_string(o.idleFiles) + "_files_" + std::to_string(o.idleSeconds) + "s",
                  (after - before) * tick, 0, "ms", "0");
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--changes")
            o.changes = std::max(1, std::atoi(value().c_str()));
        else if (a == "--idle-files")
            o.idleFiles = std::max(1, std::min(1000, std::atoi(value().c_str())));
        else if (a == "--idle-seconds")
            o.idleSeconds = std::max(1, std::min(600, std::atoi(value().c_str())));
        else if (a == "--plughost")
            o.plughost = value();
        else if (a == "--module-dir")
            o.moduleDir = value();
        else
            die("unknown argument " + a +
                " (use --changes N, --idle-files N, --idle-seconds S, --plughost PATH, --module-dir DIR)");
    }
    ::signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    if (dir.path().empty())
        die("mkdtemp failed");
    Server server(o.plughost, o.moduleDir, dir.file("plughost.log"), {"--log-level", "1"});
    if (server.port() <= 0)
        die(server.error());
    try {
        // Latency on one core: this process (its threads and inotifywait
        // inherit it) and plughost (its watchers inherit it); see
        // bench::pinToOneCore.
        bench::pinToOneCore({0, server.pid()}, true);
        latency(o, server, dir);
        bench::pinToOneCore({0, server.pid()}, false);
        idleCpu(o, server, dir);
    } catch (const std::exception &e) {
        die(e.what());
    }
    server.stop();
    return 0;
}
