#include "support/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "support/files.h"

namespace testsupport {

using Clock = std::chrono::steady_clock;

namespace {

int countEntries(const std::string &path)
{
    DIR *d = ::opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n;
}

bool isZombie(const ProcStat &s) { return s.state == 'Z' || s.state == 'X'; }

} // namespace

ProcStat readStat(pid_t pid)
{
    ProcStat s;
    const std::string line = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 > line.size())
        return s;
    s.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    rest >> s.state >> s.ppid;
    s.ok = static_cast<bool>(rest);
    // Fields after the parent: pgrp session tty_nr tpgid flags minflt
    // cminflt majflt cmajflt utime stime ...
    std::string skip;
    for (int i = 0; i < 9; ++i)
        rest >> skip;
    rest >> s.utime >> s.stime;
    s.hasTimes = s.ok && static_cast<bool>(rest);
    return s;
}

std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm, bool withZombies)
{
    std::vector<pid_t> found;
    DIR *d = ::opendir("/proc");
    if (!d)
        return found;
    while (const dirent *e = ::readdir(d)) {
        char *endp = nullptr;
        const long pid = std::strtol(e->d_name, &endp, 10);
        if (pid <= 0 || *endp)
            continue;
        const ProcStat s = readStat(static_cast<pid_t>(pid));
        if (s.ok && s.ppid == parent && s.comm == comm && (withZombies || !isZombie(s)))
            found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(d);
    return found;
}

std::size_t waitForChildren(pid_t parent, const std::string &comm, std::size_t count, std::chrono::milliseconds bound)
{
    std::size_t n = 0;
    waitFor([&] { return (n = childrenNamed(parent, comm).size()) == count; }, static_cast<int>(bound.count()),
            std::chrono::milliseconds(5));
    return n;
}

bool waitGone(pid_t pid, int timeoutMs)
{
    if (pid <= 0)
        return true;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    const bool ended = waitFd(fd, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs));
    ::close(fd);
    return ended;
}

bool goneInProc(pid_t pid)
{
    const ProcStat s = readStat(pid);
    return !s.ok || isZombie(s);
}

bool reaped(pid_t pid)
{
    struct stat st;
    return pid > 0 && ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0;
}

long long cpuTicks(pid_t pid)
{
    const ProcStat s = readStat(pid);
    return s.hasTimes ? s.utime + s.stime : -1;
}

long statusKb(pid_t pid, const char *field)
{
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

bool resetPeakRss(pid_t pid)
{
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/clear_refs").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return ok;
}

int descriptorsOf(pid_t pid)
{
    const int n = countEntries("/proc/" + std::to_string(pid) + "/fd");
    // The directory stream itself counts when a process looks at its own.
    return n > 0 && pid == ::getpid() ? n - 1 : n;
}

int openDescriptors() { return descriptorsOf(::getpid()); }

int waitForDescriptors(pid_t pid, int count, std::chrono::milliseconds bound)
{
    // The host closes descriptors in its own time: look again until the
    // count is reached or the bound has passed.
    int n = -1;
    waitFor([&] { return (n = descriptorsOf(pid)) == count; }, static_cast<int>(bound.count()),
            std::chrono::milliseconds(5));
    return n;
}

bool signalChild(pid_t parent, pid_t pid, const std::string &comm, int sig, bool waitExit)
{
    if (pid <= 0)
        return false;
    // The pidfd pins the process: once it is open, checking its parent and
    // name through /proc cannot be fooled by a reused pid.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return false;
    const ProcStat s = readStat(pid);
    bool sent = false;
    if (s.ok && s.ppid == parent && s.comm == comm && s.state != 'Z')
        sent = ::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
    // A pidfd becomes readable when its process has ended.
    if (sent && waitExit)
        sent = waitFd(pidfd, POLLIN, Clock::now() + kWait);
    ::close(pidfd);
    return sent;
}

namespace {

std::string fdPath(pid_t pid, int fd) { return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd); }

// Bytes waiting and capacity of a process's pipe; false when unreadable.
bool pipeState(pid_t pid, int fd, int *bytes, int *capacity)
{
    if (pid <= 0)
        return false;
    const int probe = ::open(fdPath(pid, fd).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0)
        return false;
    const bool ok = ::ioctl(probe, FIONREAD, bytes) == 0 && (*capacity = ::fcntl(probe, F_GETPIPE_SZ)) > 0;
    ::close(probe);
    return ok;
}

} // namespace

long fillPipe(pid_t pid, int fd)
{
    if (pid <= 0)
        return -1;
    const int w = ::open(fdPath(pid, fd).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (w < 0)
        return -1;
    // Smaller and smaller pieces: a piece that does not fit whole is refused.
    static const char block[4096] = {};
    long total = 0;
    for (std::size_t piece = sizeof block; piece > 0;) {
        const ssize_t n = ::write(w, block, piece);
        if (n > 0)
            total += n;
        else if (!(n < 0 && errno == EINTR))
            piece /= 2;
    }
    ::close(w);
    return total;
}

int pipeBytes(pid_t pid, int fd)
{
    int bytes = 0, capacity = 0;
    return pipeState(pid, fd, &bytes, &capacity) ? bytes : -1;
}

int pipeRoom(pid_t pid, int fd)
{
    int bytes = 0, capacity = 0;
    return pipeState(pid, fd, &bytes, &capacity) ? capacity - bytes : -1;
}

} // namespace testsupport
