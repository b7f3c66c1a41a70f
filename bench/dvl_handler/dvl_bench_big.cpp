// Big versions: the time from a rename that puts a new version of a big file
// in place until a TCP client holds the whole version, for files of 1, 16 and
// 100 MiB, beside a bare path in the same run: a process that, told of the
// change through a pipe, reads the file twice into a reused buffer (the
// re-check and the copy) and sends it over loopback TCP to the same receiver,
// which reads every version into a reused buffer. Each version changes one
// byte, at the start, the middle or the end in turn, and is written in
// another directory first, so that only the rename is seen. plughost and the
// bare path take turns, version by version; one warm-up version of each is
// not counted. Also measured: plughost's peak RSS (VmHWM) against the file
// size, its CPU time and page faults per version and the watcher's CPU time
// (from /proc), and plughost's RSS once the follower has left. "1st": the
// time until the first bytes of the version were in (the rest is transfer).
//
//   dvl_bench_big [--sizes 1,16,100] [--versions N] [--max-output SIZE]
//                 [--plughost PATH] [--module-dir DIR]
//
// Prints a table, RESULT lines (bench/common/report.h) and, with
// BENCH_OUT_DIR set, dvl_big_versions.xy for the report's plot.
#include "../common/report.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dvl_process.h"
#include "support/sockets.h"

using namespace dvltest;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::vector<int> sizesMiB{1, 16, 100};
    int versions = 0; // 0: by size
    std::string maxOutput = "256MiB";
    std::string plughost = PLUGHOST_EXE;
    std::string moduleDir = MODULE_DIR;
};

[[noreturn]] void die(const std::string &why)
{
    std::fprintf(stderr, "dvl_bench_big: %s\n", why.c_str());
    std::exit(1);
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// CPU time in ns (/proc/PID/schedstat) and minor page faults (/proc/PID/stat).
struct Usage {
    double cpuNs = 0;
    double faults = 0;
};

Usage usageOf(pid_t pid)
{
    Usage u;
    if (pid <= 0)
        return u;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream sched(proc + "/schedstat");
    sched >> u.cpuNs;
    std::ifstream statFile(proc + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), {});
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 10 && rest >> field; ++i)
            if (i == 10)
                u.faults = std::atof(field.c_str());
    }
    return u;
}

void writeAllOrDie(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            die(std::string("write failed: ") + std::strerror(errno));
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// A new version put in place: written elsewhere and flushed to disk, then
// renamed over `target`. The version it replaces stays open until the
// measurement is over: dropping its pages (and waiting for any of them still
// being written back) is the file system's work, not the path's, and would
// otherwise happen inside the rename.
struct Renamed {
    Clock::time_point at; // just before the rename
    int previous = -1;    // the replaced version, open
    Renamed() = default;
    Renamed(const Renamed &) = delete;
    Renamed &operator=(const Renamed &) = delete;
    ~Renamed()
    {
        if (previous >= 0)
            ::close(previous);
    }
};

void putInPlace(const std::string &spare, const std::string &target, const std::vector<char> &data, Renamed &r)
{
    const int fd = ::open(spare.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die("cannot write " + spare);
    writeAllOrDie(fd, data.data(), data.size());
    if (::fsync(fd) != 0)
        die("fsync failed");
    ::close(fd);
    r.previous = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    r.at = Clock::now();
    if (::rename(spare.c_str(), target.c_str()) != 0)
        die("rename failed");
}

bool readFull(int fd, char *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// One version from a connection: a big-endian length, then the contents,
// into the reused buffer `into`. *first: when the length word was in.
bool receiveVersion(int fd, std::vector<char> &into, Clock::time_point *first = nullptr)
{
    unsigned char word[4];
    if (!readFull(fd, reinterpret_cast<char *>(word), 4))
        return false;
    if (first)
        *first = Clock::now();
    const std::size_t length = (std::size_t{word[0]} << 24) | (word[1] << 16) | (word[2] << 8) | word[3];
    if (length != into.size())
        return false;
    return readFull(fd, into.data(), into.size());
}

void setReceiveBound(int fd)
{
    timeval bound{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
}

// The bare path, a child process: on each byte from `control`, reads `file`
// twice into one reused buffer and sends it, behind its big-endian length,
// on a loopback TCP connection to `port`.
struct BarePath {
    pid_t pid = -1;
    int control = -1;
    int conn = -1; // the receiver's end
};

BarePath startBarePath(const std::string &file, std::size_t size)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        die("cannot listen on loopback");
    int control[2];
    if (::pipe2(control, O_CLOEXEC) != 0)
        die("pipe failed");
    BarePath bare;
    bare.pid = ::fork();
    if (bare.pid < 0)
        die("fork failed");
    if (bare.pid == 0) {
        ::prctl(PR_SET_NAME, "bare_path");
        ::close(control[1]);
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (s < 0 || ::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            _exit(2);
        std::vector<char> buffer(size);
        const unsigned char word[4] = {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                                       static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
        char byte;
        while (::read(control[0], &byte, 1) == 1) {
            for (int pass = 0; pass < 2; ++pass) {
                const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0)
                    _exit(3);
                std::size_t done = 0;
                while (done < size) {
                    const ssize_t n = ::read(fd, buffer.data() + done, size - done);
                    if (n <= 0)
                        _exit(4);
                    done += static_cast<std::size_t>(n);
                }
                ::close(fd);
            }
            iovec parts[2] = {{const_cast<unsigned char *>(word), 4}, {buffer.data(), size}};
            std::size_t skip = 0, total = 4 + size;
            while (skip < total) {
                iovec now[2];
                int count = 0;
                std::size_t at = skip;
                for (const iovec &p : parts) {
                    if (at >= p.iov_len) {
                        at -= p.iov_len;
                        continue;
                    }
                    now[count++] = {static_cast<char *>(p.iov_base) + at, p.iov_len - at};
                    at = 0;
                }
                const ssize_t w = ::writev(s, now, count);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    _exit(5);
                skip += static_cast<std::size_t>(w);
            }
        }
        _exit(0);
    }
    ::close(control[0]);
    bare.control = control[1];
    bare.conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (bare.conn < 0)
        die("the bare path did not connect");
    setReceiveBound(bare.conn);
    return bare;
}

void stopBarePath(BarePath &bare)
{
    ::close(bare.control);
    ::close(bare.conn);
    if (bare.pid > 0) {
        int status;
        ::waitpid(bare.pid, &status, 0);
    }
}

// The follower: a blocking loopback connection to plughost that has sent the
// path and received both reply codes 0.
int follow(const Server &server, const std::string &file)
{
    const int fd = testsupport::connectTo(server.address(), 0, false);
    if (fd < 0)
        die("cannot connect to plughost");
    setReceiveBound(fd);
    const std::string path = file + std::string(1, '\0');
    if (!testsupport::sendAll(fd, path.data(), path.size()))
        die("cannot send the path");
    unsigned char codes[8];
    if (!readFull(fd, reinterpret_cast<char *>(codes), 8) || std::any_of(codes, codes + 8, [](auto c) { return c; }))
        die("no reply codes 0 from plughost");
    return fd;
}

struct SizeFigures {
    int sizeMiB = 0;
    int versions = 0;
    std::vector<double> ours, bare;
    std::vector<double> oursFirst, bareFirst; // until the first byte was in
    double hostCpuMs = 0, hostFaults = 0, watcherCpuMs = 0;
    double startMiB = 0, peakMiB = 0, afterMiB = 0;
};

void change(std::vector<char> &data, int v)
{
    const std::size_t at = v % 3 == 0 ? 0 : v % 3 == 1 ? data.size() / 2 : data.size() - 1;
    data[at] = static_cast<char>(data[at] + 1);
}

SizeFigures measureSize(const Options &o, int sizeMiB)
{
    SizeFigures f;
    f.sizeMiB = sizeMiB;
    f.versions = o.versions > 0 ? o.versions : sizeMiB >= 64 ? 7 : sizeMiB >= 8 ? 15 : 31;
    const std::size_t size = static_cast<std::size_t>(sizeMiB) << 20;
    std::vector<char> data(size), received(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);

    // The bare path's file is in a directory of its own, so that its renames
    // do not make the watcher re-check.
    TempDir watched, bareDir, spare;
    const std::string ourFile = watched.file("followed"), bareFile = bareDir.file("bare");
    {
        Renamed first, bareFirst;
        putInPlace(spare.file("next"), ourFile, data, first);
        putInPlace(spare.file("next"), bareFile, data, bareFirst);
    }

    Server server(o.plughost, o.moduleDir, spare.file("plughost.log"),
                  {"--log-level", "1", "--max-output", o.maxOutput});
    if (server.port() <= 0)
        die("plughost did not start: " + server.error());
    const pid_t host = server.pid();
    f.startMiB = testsupport::statusKb(host, "VmRSS") / 1024.0;
    BarePath bare = startBarePath(bareFile, size);
    const int fd = follow(server, ourFile);
    if (!receiveVersion(fd, received) || received != data)
        die("the first version is wrong");
    const std::vector<pid_t> watcher = childrenNamed(host, "dorvel.exe");
    if (watcher.size() != 1)
        die("expected one watcher");

    for (int v = 0; v <= f.versions; ++v) {
        change(data, v);
        const Usage h0 = usageOf(host), w0 = usageOf(watcher[0]);
        Renamed ourRename;
        putInPlace(spare.file("next"), ourFile, data, ourRename);
        Clock::time_point first;
        if (!receiveVersion(fd, received, &first))
            die("version " + std::to_string(v) + " did not arrive");
        const double ours = msSince(ourRename.at);
        const double ourFirst = std::chrono::duration<double, std::milli>(first - ourRename.at).count();
        const Usage h1 = usageOf(host), w1 = usageOf(watcher[0]);
        if (received != data)
            die("version " + std::to_string(v) + " differs from the file");

        Renamed bareRename;
        putInPlace(spare.file("next"), bareFile, data, bareRename);
        if (::write(bare.control, "c", 1) != 1 || !receiveVersion(bare.conn, received, &first))
            die("the bare path failed");
        const double barePath = msSince(bareRename.at);
        const double bareFirst = std::chrono::duration<double, std::milli>(first - bareRename.at).count();
        if (received != data)
            die("the bare path's version differs from the file");
        if (v == 0)
            continue; // warm-up
        f.ours.push_back(ours);
        f.bare.push_back(barePath);
        f.oursFirst.push_back(ourFirst);
        f.bareFirst.push_back(bareFirst);
        f.hostCpuMs += (h1.cpuNs - h0.cpuNs) / 1e6 / f.versions;
        f.hostFaults += (h1.faults - h0.faults) / f.versions;
        f.watcherCpuMs += (w1.cpuNs - w0.cpuNs) / 1e6 / f.versions;
    }
    f.peakMiB = testsupport::statusKb(host, "VmHWM") / 1024.0;
    ::close(fd);
    // Once its watcher has been reaped, plughost has handled the close.
    if (!waitFor([&] { return childrenNamed(host, "dorvel.exe", true).empty(); }, 20000))
        die("the watcher outlived its follower");
    f.afterMiB = testsupport::statusKb(host, "VmRSS") / 1024.0;
    stopBarePath(bare);
    server.stop();
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            die(a + " needs a value");
        const std::string v = argv[++i];
        if (a == "--sizes") {
            o.sizesMiB.clear();
            std::istringstream list(v);
            std::string item;
            while (std::getline(list, item, ','))
                o.sizesMiB.push_back(std::clamp(std::atoi(item.c_str()), 1, 1000));
        } else if (a == "--versions") {
            o.versions = std::clamp(std::atoi(v.c_str()), 1, 1000);
        } else if (a == "--max-output") {
            o.maxOutput = v;
        } else if (a == "--plughost") {
            o.plughost = v;
        } else if (a == "--module-dir") {
            o.moduleDir = v;
        } else {
            die("unknown argument " + a +
                " (use --sizes LIST, --versions N, --max-output SIZE, --plughost PATH, --module-dir DIR)");
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<SizeFigures> all;
    for (int s : o.sizesMiB)
        all.push_back(measureSize(o, s));

    std::printf("rename -> whole version at a TCP client (medians), plughost + dvl_handler + dorvel beside the bare "
                "path\n");
    std::printf("  %8s %4s %10s %10s %6s %11s %11s %12s %11s %12s %10s %10s %10s\n", "file", "n", "ours ms",
                "bare ms", "ratio", "ours 1st", "bare 1st", "host CPU ms", "host faults", "dorvel CPU", "start MiB",
                "peak MiB", "after MiB");
    const char *dir = std::getenv("BENCH_OUT_DIR");
    std::FILE *xy = dir && *dir ? std::fopen((std::string(dir) + "/dvl_big_versions.xy").c_str(), "w") : nullptr;
    if (xy)
        std::fprintf(xy, "# file_MiB plughost bare-path\n# ylabel milliseconds per version\n");
    for (const SizeFigures &f : all) {
        const double ours = median(f.ours), bare = median(f.bare);
        std::printf("  %4d MiB %4d %10.1f %10.1f %6.2f %11.1f %11.1f %12.1f %11.0f %12.1f %10.1f %10.1f %10.1f\n",
                    f.sizeMiB, f.versions, ours, bare, ours / bare, median(f.oursFirst), median(f.bareFirst),
                    f.hostCpuMs, f.hostFaults, f.watcherCpuMs, f.startMiB, f.peakMiB, f.afterMiB);
        if (xy)
            std::fprintf(xy, "%d %.3f %.3f\n", f.sizeMiB, ours, bare);
        const std::string name = "dvl_big_version_" + std::to_string(f.sizeMiB) + "MiB";
        bench::result(name + "_median", ours, bare, "ms", f.sizeMiB >= 100 ? "<=2x (bare path)" : "reported");
        bench::result(name + "_host_cpu", f.hostCpuMs, 0, "ms", "reported");
        bench::result("dvl_big_peak_rss_" + std::to_string(f.sizeMiB) + "MiB", f.peakMiB, f.sizeMiB, "MiB",
                      f.sizeMiB >= 100 ? "<=2.5x (file size)" : "reported");
        bench::result("dvl_big_rss_after_" + std::to_string(f.sizeMiB) + "MiB", f.afterMiB, f.startMiB, "MiB",
                      "reported");
    }
    if (xy)
        std::fclose(xy);
    return 0;
}
