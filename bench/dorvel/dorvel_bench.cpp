// Measures dorvel from outside:
//  (a) latency from write() on the watched file until the record is readable
//      on dorvel's standard output, beside a bare F_NOTIFY signal and an
//      inotify event delivered to another process in the same run;
//  (b) CPU cost of re-checking an unchanged 100 MB file, beside a plain read
//      plus memcmp of it;
//  (c) CPU used while waiting;
//  (d) a 100 MiB file whose new version, one byte changed, is renamed into
//      place: time from the rename until the whole record has been read, and
//      dorvel's CPU and page faults per version, beside a bare path in the
//      same run (a process that, told of the change, reads the file into a
//      reused buffer, compares it with the version before and writes it to
//      the same kind of pipe).
// Usage: dorvel_bench [changes]          all measures (changes: default 2000, at least 1000)
//        dorvel_bench big [versions]     only (d) (default 10 versions)
// DORVEL=<program> measures another build of the watch program.

#include "../common/report.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double MicrosSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

[[noreturn]] void Die(const char *what)
{
    fprintf(stderr, "dorvel_bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

std::string ReadText(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Die("write");
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Reads exactly size bytes, waiting at most timeoutMs for each chunk.
bool ReadExactly(int fd, char *data, size_t size, int timeoutMs = 20000)
{
    while (size > 0) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n = read(fd, data, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

struct Stats {
    double median = 0, p99 = 0, mean = 0;
};

Stats Summarise(std::vector<double> values)
{
    Stats s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / static_cast<double>(values.size());
    return s;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char pattern[] = "/tmp/dorvel-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            Die("mkdtemp");
        path = pattern;
    }
    ~TempDir()
    {
        if (DIR *dir = opendir(path.c_str())) {
            while (struct dirent *e = readdir(dir))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink((path + "/" + e->d_name).c_str());
            closedir(dir);
        }
        rmdir(path.c_str());
    }
    std::string operator/(const char *name) const { return path + "/" + name; }
};

struct Child {
    pid_t pid = -1;
    int out = -1;       // its standard output (dorvel) or its notification pipe
    int control = -1;   // the bare path's change signal

    void Stop()
    {
        pid_t p = pid;
        if (p > 0) {
            kill(p, SIGTERM);
            int status;
            while (waitpid(p, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid = -1;
        if (out >= 0)
            close(out);
        if (control >= 0)
            close(control);
        out = control = -1;
    }
};

const char *DorvelProgram()
{
    const char *chosen = getenv("DORVEL");
    return chosen != nullptr && *chosen != '\0' ? chosen : DORVEL_PATH;
}

Child StartDorvel(const std::string &file)
{
    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) < 0)
        Die("pipe");
    Child child;
    child.pid = fork();
    if (child.pid < 0)
        Die("fork");
    if (child.pid == 0) {
        dup2(pipeFDs[1], STDOUT_FILENO);
        char *argv[] = {const_cast<char *>("dorvel"), const_cast<char *>(file.c_str()), nullptr};
        execv(DorvelProgram(), argv);
        _exit(127);
    }
    close(pipeFDs[1]);
    child.out = pipeFDs[0];
    return child;
}

// A child that writes one byte to a pipe for every notification it takes.
enum class Mechanism { FNotify, Inotify };

Child StartNotifier(const std::string &dir, Mechanism mechanism)
{
    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) < 0)
        Die("pipe");
    Child child;
    child.pid = fork();
    if (child.pid < 0)
        Die("fork");
    if (child.pid == 0) {
        close(pipeFDs[0]);
        int out = pipeFDs[1];
        char byte = 'n';
        if (mechanism == Mechanism::FNotify) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGRTMIN);
            sigaddset(&set, SIGIO);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            int d = open(dir.c_str(), O_RDONLY);
            if (d < 0 || fcntl(d, F_SETSIG, SIGRTMIN) < 0 || fcntl(d, F_NOTIFY, DN_MODIFY | DN_MULTISHOT) < 0)
                _exit(2);
            if (write(out, "r", 1) != 1)
                _exit(3);
            for (;;) {
                siginfo_t info;
                if (sigwaitinfo(&set, &info) < 0)
                    continue;
                if (write(out, &byte, 1) != 1)
                    _exit(0);
            }
        } else {
            int in = inotify_init1(IN_CLOEXEC);
            if (in < 0 || inotify_add_watch(in, dir.c_str(), IN_MODIFY) < 0)
                _exit(2);
            if (write(out, "r", 1) != 1)
                _exit(3);
            char events[4096];
            for (;;) {
                ssize_t n = read(in, events, sizeof events);
                if (n <= 0)
                    continue;
                if (write(out, &byte, 1) != 1)
                    _exit(0);
            }
        }
    }
    close(pipeFDs[1]);
    child.out = pipeFDs[0];
    char ready;
    if (!ReadExactly(child.out, &ready, 1))
        Die("notifier did not start");
    return child;
}

void Drain(int fd)
{
    char junk[256];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return;
        if (read(fd, junk, sizeof junk) <= 0)
            return;
    }
}

void Content(char *buffer, size_t size, int version)
{
    snprintf(buffer, size, "version %08d of the watched file......................", version);
}

// (a) with dorvel: write() until the whole record has been read.
std::vector<double> DorvelLatency(int changes, std::vector<double> &readTimes)
{
    TempDir dir;
    const std::string file = dir / "watched";
    char text[64];
    Content(text, sizeof text, 0);
    const size_t size = strlen(text);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Die("open watched");
    WriteAll(fd, text, size);
    Child dorvel = StartDorvel(file);
    std::vector<char> record(4 + size);
    if (!ReadExactly(dorvel.out, record.data(), record.size()))
        Die("first record");
    std::vector<double> latencies;
    for (int i = 1; i <= changes; ++i) {
        Content(text, sizeof text, i);
        auto start = Clock::now();
        if (pwrite(fd, text, size, 0) != static_cast<ssize_t>(size))
            Die("pwrite");
        if (!ReadExactly(dorvel.out, record.data(), record.size()))
            Die("record");
        latencies.push_back(MicrosSince(start));
        if (memcmp(record.data() + 4, text, size) != 0) {
            fprintf(stderr, "dorvel_bench: unexpected record content\n");
            exit(1);
        }
    }
    // The time to read the file, as a re-check does it: open, fstat, read, close.
    std::vector<char> buffer(size);
    for (int i = 0; i < changes; ++i) {
        auto start = Clock::now();
        int r = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (r < 0 || fstat(r, &st) < 0 || read(r, buffer.data(), size) != static_cast<ssize_t>(size))
            Die("read watched");
        close(r);
        readTimes.push_back(MicrosSince(start));
    }
    dorvel.Stop();
    close(fd);
    return latencies;
}

// (a) with a bare notifier: write() until its byte has been read.
std::vector<double> NotifierLatency(int changes, Mechanism mechanism)
{
    TempDir dir;
    const std::string file = dir / "watched";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Die("open watched");
    Child notifier = StartNotifier(dir.path, mechanism);
    char text[64];
    std::vector<double> latencies;
    for (int i = 1; i <= changes; ++i) {
        Content(text, sizeof text, i);
        Drain(notifier.out);
        auto start = Clock::now();
        if (pwrite(fd, text, strlen(text), 0) < 0)
            Die("pwrite");
        char byte;
        if (!ReadExactly(notifier.out, &byte, 1))
            Die("notification");
        latencies.push_back(MicrosSince(start));
    }
    notifier.Stop();
    close(fd);
    return latencies;
}

struct ProcessCPU {
    double cpuNs = 0;       // from /proc/<pid>/schedstat
    long ticks = 0;         // utime + stime from /proc/<pid>/stat
    long minorFaults = 0;
};

ProcessCPU ReadCPU(pid_t pid)
{
    ProcessCPU cpu;
    std::string proc = "/proc/" + std::to_string(pid);
    cpu.cpuNs = strtod(ReadText(proc + "/schedstat").c_str(), nullptr);
    std::string stat = ReadText(proc + "/stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> f;
        std::string field;
        while (fields >> field)
            f.push_back(field);
        // Fields after the name start at "state" (field 3 of the file).
        if (f.size() > 12) {
            cpu.minorFaults = atol(f[7].c_str());                     // minflt, field 10
            cpu.ticks = atol(f[11].c_str()) + atol(f[12].c_str());   // utime, stime: 14, 15
        }
    }
    return cpu;
}

// Waits until the process sleeps in its notification wait with nothing pending.
bool WaitIdle(pid_t pid)
{
    std::string proc = "/proc/" + std::to_string(pid);
    std::string suspended = std::to_string(SYS_rt_sigtimedwait) + " ";
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        if (ReadText(proc + "/syscall").rfind(suspended, 0) == 0) {
            std::string status = ReadText(proc + "/status");
            bool pending = false;
            for (const char *key : {"\nSigPnd:", "\nShdPnd:"}) {
                size_t at = status.find(key);
                pending |= at == std::string::npos || strtoull(status.c_str() + at + strlen(key), nullptr, 16) != 0;
            }
            if (!pending && ReadText(proc + "/syscall").rfind(suspended, 0) == 0)
                return true;
        }
        struct timespec t = {0, 200000};
        nanosleep(&t, nullptr);
    }
    return false;
}

double ThreadCPUNs()
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}


// (d) The bare path: told of each change by a byte on `control`, reads the
// file into a reused buffer, compares it with the version before, and writes
// the record to `out`, as dorvel does, without notification.
Child StartBarePath(const std::string &file, size_t size)
{
    int control[2], out[2];
    if (pipe2(control, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
        Die("pipe");
    Child child;
    child.pid = fork();
    if (child.pid < 0)
        Die("fork");
    if (child.pid == 0) {
        prctl(PR_SET_NAME, "bare_path");
        close(control[1]);
        close(out[0]);
        std::vector<char> fresh(4 + size), saved(4 + size);
        char byte;
        while (read(control[0], &byte, 1) == 1) {
            int r = open(file.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (r < 0 || fstat(r, &st) < 0 || static_cast<size_t>(st.st_size) != size)
                _exit(2);
            size_t done = 0;
            while (done < size) {
                ssize_t n = read(r, fresh.data() + 4 + done, size - done);
                if (n <= 0)
                    _exit(3);
                done += static_cast<size_t>(n);
            }
            close(r);
            if (memcmp(fresh.data() + 4, saved.data() + 4, size) != 0) {
                fresh.swap(saved);
                int32_t length = static_cast<int32_t>(size);
                memcpy(saved.data(), &length, 4);
                WriteAll(out[1], saved.data(), saved.size());
            }
        }
        _exit(0);
    }
    close(control[0]);
    close(out[1]);
    child.out = out[0];
    child.control = control[1];
    return child;
}

// Writes a version of the big file into `prepared`: the base content with
// byte `at` changed to `value`.
void PrepareVersion(const std::string &prepared, std::vector<char> &data, size_t at, char value)
{
    data[at] = value;
    int fd = open(prepared.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Die("open prepared version");
    WriteAll(fd, data.data(), data.size());
    close(fd);
}

struct VersionFigures {
    std::vector<double> ms;   // rename until the whole record was read
    double cpuMs = 0;         // per version, of the process that relays it
    double faults = 0;        // minor page faults per version, same process
};

// Puts `versions` new versions in place by renaming and reads each record.
// With `bare`, the bare path is told of each change instead.
VersionFigures MeasureVersions(const std::string &dir, const std::string &spare, std::vector<char> &data,
                               int versions, bool bare)
{
    const std::string file = dir + "/big";
    const std::string prepared = spare + "/next";
    const size_t size = data.size();
    PrepareVersion(file, data, 0, 0);
    Child relay = bare ? StartBarePath(file, size) : StartDorvel(file);
    std::vector<char> record(4 + size);
    if (bare && write(relay.control, "c", 1) != 1)
        Die("control");
    if (!ReadExactly(relay.out, record.data(), record.size()))
        Die("first record of the big file");
    VersionFigures figures;
    // Version 0 only warms up: dorvel's second buffer gets its pages then.
    for (int v = 0; v <= versions; ++v) {
        // The next version is written elsewhere, so that writing it causes
        // no re-check; only the rename is seen.
        // A byte near the middle, to a value that it has not had before.
        PrepareVersion(prepared, data, (size / 2 + static_cast<size_t>(v) * 4099) % size,
                       static_cast<char>(bare ? 101 + v : v + 1));
        if (!bare && !WaitIdle(relay.pid))
            Die("dorvel did not settle");
        ProcessCPU start = ReadCPU(relay.pid);
        auto t = Clock::now();
        if (rename(prepared.c_str(), file.c_str()) < 0)
            Die("rename");
        if (bare && write(relay.control, "c", 1) != 1)
            Die("control");
        if (!ReadExactly(relay.out, record.data(), record.size()))
            Die(bare ? "record of the big file (bare path)" : "record of the big file (dorvel)");
        double ms = MicrosSince(t) / 1e3;
        if (memcmp(record.data() + 4, data.data(), size) != 0) {
            fprintf(stderr, "dorvel_bench: record differs from the version\n");
            exit(1);
        }
        if (!bare && !WaitIdle(relay.pid))
            Die("dorvel did not settle");
        ProcessCPU after = ReadCPU(relay.pid);
        if (v == 0)
            continue;
        figures.ms.push_back(ms);
        figures.cpuMs += (after.cpuNs - start.cpuNs) / 1e6;
        figures.faults += static_cast<double>(after.minorFaults - start.minorFaults);
    }
    figures.cpuMs /= versions;
    figures.faults /= versions;
    relay.Stop();
    return figures;
}

void MeasureBigVersions(int versions)
{
    TempDir dir, spare;
    const size_t size = 100u << 20;
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 2654435761u >> 13);
    VersionFigures dorvel = MeasureVersions(dir.path, spare.path, data, versions, false);
    VersionFigures bare = MeasureVersions(dir.path, spare.path, data, versions, true);
    bench::samples("dorvel_version_100MiB", dorvel.ms);
    bench::samples("dorvel_bare_version_100MiB", bare.ms);
    Stats d = Summarise(dorvel.ms), b = Summarise(bare.ms);
    printf("(d) 100 MiB file, one byte changed, new version renamed into place, %d versions\n", versions);
    printf("    %-44s %10s %10s %12s %14s\n", "", "median ms", "max ms", "CPU ms/ver", "faults/ver");
    printf("    %-44s %10.1f %10.1f %12.1f %14.1f\n", "dorvel: rename -> whole record read", d.median,
           *std::max_element(dorvel.ms.begin(), dorvel.ms.end()), dorvel.cpuMs, dorvel.faults);
    printf("    %-44s %10.1f %10.1f %12.1f %14.1f\n", "bare path: read, compare, write to a pipe", b.median,
           *std::max_element(bare.ms.begin(), bare.ms.end()), bare.cpuMs, bare.faults);
    printf("    ratio dorvel / bare (median): %.2f\n\n", d.median / b.median);
    bench::result("dorvel_version_100MiB_median", d.median, b.median, "ms", "<=1.2x bare");
    bench::result("dorvel_version_100MiB_cpu", dorvel.cpuMs, bare.cpuMs, "ms", "-");
    bench::result("dorvel_version_100MiB_faults", dorvel.faults, bare.faults, "faults", "0");
}
} // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && strcmp(argv[1], "big") == 0) {
        MeasureBigVersions(argc > 2 && atoi(argv[2]) > 0 ? atoi(argv[2]) : 10);
        return 0;
    }
    int changes = argc > 1 ? atoi(argv[1]) : 2000;
    if (changes < 1000)
        changes = 1000;
    signal(SIGPIPE, SIG_IGN);

    // (a) Latency.
    // On one core (the children inherit it): see bench::pinToOneCore.
    bench::pinToOneCore({0}, true);
    std::vector<double> readTimes;
    const std::vector<double> dorvelTimes = DorvelLatency(changes, readTimes);
    const std::vector<double> fnotifyTimes = NotifierLatency(changes, Mechanism::FNotify);
    const std::vector<double> inotifyTimes = NotifierLatency(changes, Mechanism::Inotify);
    bench::pinToOneCore({0}, false);
    bench::samples("dorvel_latency", dorvelTimes);
    bench::samples("dorvel_fnotify_latency", fnotifyTimes);
    bench::samples("dorvel_inotify_latency", inotifyTimes);
    Stats dorvel = Summarise(dorvelTimes);
    Stats fnotify = Summarise(fnotifyTimes);
    Stats inotify = Summarise(inotifyTimes);
    Stats reading = Summarise(readTimes);
    printf("(a) write() to notification, %d changes each, microseconds\n", changes);
    printf("    %-44s %10s %10s %10s\n", "path", "median", "p99", "mean");
    printf("    %-44s %10.1f %10.1f %10.1f\n", "dorvel: write -> record read from stdout", dorvel.median, dorvel.p99, dorvel.mean);
    printf("    %-44s %10.1f %10.1f %10.1f\n", "bare F_NOTIFY signal (other process)", fnotify.median, fnotify.p99, fnotify.mean);
    printf("    %-44s %10.1f %10.1f %10.1f\n", "inotify event (other process)", inotify.median, inotify.p99, inotify.mean);
    printf("    %-44s %10.1f %10.1f %10.1f\n", "open+fstat+read+close of the file", reading.median, reading.p99, reading.mean);
    double goal = 1.5 * (fnotify.median + reading.median);
    printf("    goal: dorvel median <= 1.5 x (F_NOTIFY + read) = %.1f us: %s (%.2fx)\n\n", goal,
           dorvel.median <= goal ? "met" : "NOT met", dorvel.median / (fnotify.median + reading.median));
    bench::result("dorvel_latency_median", dorvel.median, fnotify.median + reading.median, "us",
                  "<=1.5x (F_NOTIFY+read)");
    bench::result("dorvel_latency_p99", dorvel.p99, fnotify.p99 + reading.p99, "us", "-");
    bench::result("dorvel_vs_inotify_median", dorvel.median, inotify.median, "us", "-");

    // (b) Re-check of an unchanged 100 MB file.
    {
        TempDir dir;
        const std::string big = dir / "big";
        const size_t size = 100u << 20;
        std::vector<char> data(size);
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>(i * 2654435761u >> 13);
        int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            Die("open big");
        WriteAll(fd, data.data(), size);
        close(fd);

        // One pwrite on an open file: exactly one notification per trigger.
        const std::string other = dir / "other";
        int trigger = open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (trigger < 0)
            Die("open other");
        Child watcher = StartDorvel(big);
        std::vector<char> record(4 + size);
        if (!ReadExactly(watcher.out, record.data(), record.size()))
            Die("first record of the big file");
        if (!WaitIdle(watcher.pid))
            Die("dorvel did not settle");
        // A first re-check touches the second buffer for the first time.
        if (pwrite(trigger, "x", 1, 0) != 1 || !WaitIdle(watcher.pid))
            Die("warm-up re-check");
        const int triggers = 20;
        ProcessCPU before = ReadCPU(watcher.pid);
        auto wallStart = Clock::now();
        for (int i = 0; i < triggers; ++i) {
            if (pwrite(trigger, "x", 1, 0) != 1)
                Die("pwrite other");
            if (!WaitIdle(watcher.pid))
                Die("re-check did not finish");
        }
        double wallDorvel = MicrosSince(wallStart) / triggers;
        ProcessCPU after = ReadCPU(watcher.pid);
        struct pollfd p = {watcher.out, POLLIN, 0};
        bool wrote = poll(&p, 1, 0) > 0;
        watcher.Stop();
        close(trigger);

        // Plain read + memcmp, in this process, with buffers allocated once.
        std::vector<char> fresh(size);
        double cpuStart = ThreadCPUNs();
        auto plainStart = Clock::now();
        for (int i = 0; i < triggers; ++i) {
            int r = open(big.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (r < 0 || fstat(r, &st) < 0)
                Die("open big for reading");
            size_t done = 0;
            while (done < size) {
                ssize_t n = read(r, fresh.data() + done, size - done);
                if (n <= 0)
                    Die("read big");
                done += static_cast<size_t>(n);
            }
            close(r);
            if (memcmp(fresh.data(), data.data(), size) != 0)
                Die("content differs");
        }
        double cpuPlain = (ThreadCPUNs() - cpuStart) / triggers / 1e6;
        double wallPlain = MicrosSince(plainStart) / triggers / 1e3;
        double cpuDorvel = (after.cpuNs - before.cpuNs) / triggers / 1e6;
        printf("(b) re-check of an unchanged 100 MB file, mean of %d re-checks\n", triggers);
        printf("    %-44s %12s %12s %16s\n", "", "CPU ms", "wall ms", "minor faults");
        printf("    %-44s %12.2f %12.2f %16.1f\n", "dorvel re-check (CPU from schedstat)", cpuDorvel, wallDorvel / 1e3,
               static_cast<double>(after.minorFaults - before.minorFaults) / triggers);
        printf("    %-44s %12.2f %12.2f %16s\n", "plain open+read+memcmp in process", cpuPlain, wallPlain, "-");
        printf("    ratio dorvel / plain (CPU): %.2f (goal <= 1.2: %s); records written: %s\n\n", cpuDorvel / cpuPlain,
               cpuDorvel <= 1.2 * cpuPlain ? "met" : "NOT met", wrote ? "some (unexpected)" : "none");
        bench::result("dorvel_recheck_100MB_cpu", cpuDorvel, cpuPlain, "ms", "<=1.2x (read+memcmp)");
    }

    // (c) CPU while waiting.
    {
        TempDir dir;
        const std::string file = dir / "idle";
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            Die("open idle");
        WriteAll(fd, "idle", 4);
        close(fd);
        Child watcher = StartDorvel(file);
        char record[8];
        if (!ReadExactly(watcher.out, record, sizeof record))
            Die("first record of the idle file");
        if (!WaitIdle(watcher.pid))
            Die("dorvel did not settle");
        ProcessCPU before = ReadCPU(watcher.pid);
        struct timespec wait = {3, 0};
        while (nanosleep(&wait, &wait) < 0 && errno == EINTR) {
        }
        ProcessCPU after = ReadCPU(watcher.pid);
        watcher.Stop();
        printf("(c) dorvel waiting 3 s: %ld clock ticks (utime+stime), %.0f ns on CPU (schedstat)\n",
               after.ticks - before.ticks, after.cpuNs - before.cpuNs);
        bench::result("dorvel_idle_cpu_3s", (after.cpuNs - before.cpuNs) / 1e6, 0, "ms", "0");
    }

    MeasureBigVersions(10);
    return 0;
}
