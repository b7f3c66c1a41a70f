#include "dvl_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace dvltest {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int pidfdOpen(pid_t pid)
{
    if (pid <= 0)
        return -1;
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Waits until fd is readable or the deadline passes.
bool pollIn(int fd, Clock::time_point end)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, msLeft(end));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

Process::Process(Process &&o) noexcept : pid(o.pid), out(o.out), pidfd(o.pidfd)
{
    o.pid = -1;
    o.out = -1;
    o.pidfd = -1;
}

Process &Process::operator=(Process &&o) noexcept
{
    if (this != &o) {
        this->~Process();
        pid = o.pid;
        out = o.out;
        pidfd = o.pidfd;
        o.pid = -1;
        o.out = -1;
        o.pidfd = -1;
    }
    return *this;
}

Process::~Process()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid = -1;
    closeFd(out);
    closeFd(pidfd);
}

Process start(const std::vector<std::string> &argv, bool captureStdout, const std::string &stderrFile,
              std::string *error)
{
    Process p;
    int pipeFd[2] = {-1, -1};
    if (captureStdout && ::pipe2(pipeFd, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return p;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (captureStdout)
        posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDOUT_FILENO);
    if (!stderrFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureStdout)
        ::close(pipeFd[1]);
    if (rc != 0) {
        *error = argv[0] + ": " + std::strerror(rc);
        if (captureStdout)
            ::close(pipeFd[0]);
        return p;
    }
    p.pid = pid;
    p.out = captureStdout ? pipeFd[0] : -1;
    p.pidfd = pidfdOpen(pid);
    return p;
}

int waitExit(Process &p, int timeoutMs)
{
    if (p.pid <= 0)
        return -1;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (p.pidfd >= 0 && !pollIn(p.pidfd, end))
        return -1;
    int status = 0;
    while (::waitpid(p.pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    p.pid = -1;
    closeFd(p.pidfd);
    return status;
}

void signalProcess(pid_t pid, int sig)
{
    if (pid > 0)
        ::kill(pid, sig);
}

bool readUntil(int fd, const std::string &text, std::string *got, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (got->find(text) == std::string::npos) {
        if (!pollIn(fd, end))
            return false;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return got->find(text) != std::string::npos;
        got->append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool readToEnd(int fd, std::string *got, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    for (;;) {
        if (!pollIn(fd, end))
            return false;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        got->append(buf, static_cast<std::size_t>(n));
    }
}

namespace {

struct ProcStat {
    bool ok = false;
    std::string comm;
    char state = '?';
    pid_t ppid = 0;
    long long utime = 0, stime = 0;
};

ProcStat readStat(pid_t pid)
{
    ProcStat s;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(f, line))
        return s;
    auto open = line.find('(');
    auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return s;
    s.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    // Fields after the name: state ppid pgrp session tty_nr tpgid flags
    // minflt cminflt majflt cmajflt utime stime ...
    std::string skip;
    rest >> s.state >> s.ppid;
    for (int i = 0; i < 9; ++i)
        rest >> skip;
    rest >> s.utime >> s.stime;
    s.ok = static_cast<bool>(rest);
    return s;
}

} // namespace

bool waitGone(pid_t pid, int timeoutMs)
{
    if (pid <= 0)
        return true;
    int fd = pidfdOpen(pid);
    if (fd < 0)
        return errno == ESRCH;
    bool ended = pollIn(fd, Clock::now() + std::chrono::milliseconds(timeoutMs));
    ::close(fd);
    return ended;
}

bool goneInProc(pid_t pid)
{
    ProcStat s = readStat(pid);
    return !s.ok || s.state == 'Z' || s.state == 'X';
}

std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm)
{
    std::vector<pid_t> found;
    DIR *d = ::opendir("/proc");
    if (!d)
        return found;
    while (dirent *e = ::readdir(d)) {
        char *endp = nullptr;
        long pid = std::strtol(e->d_name, &endp, 10);
        if (pid <= 0 || *endp)
            continue;
        ProcStat s = readStat(static_cast<pid_t>(pid));
        if (s.ok && s.ppid == parent && s.comm == comm && s.state != 'Z' && s.state != 'X')
            found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(d);
    return found;
}

long long cpuTicks(pid_t pid)
{
    ProcStat s = readStat(pid);
    return s.ok ? s.utime + s.stime : -1;
}

Server::Server(const std::string &plughost, const std::string &moduleDir, const std::string &logFile,
               const std::vector<std::string> &extra)
{
    std::vector<std::string> argv{plughost, "--module-dir", moduleDir, "--listen", "dvl_handler=127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = start(argv, true, logFile, &error_);
    if (proc_.pid <= 0)
        return;
    std::string got;
    if (!readUntil(proc_.out, "ready\n", &got, 20000)) {
        error_ = "plughost did not report ready within 20 s; it printed: " + got;
        return;
    }
    const std::string marker = "listening on 127.0.0.1:";
    auto at = got.find(marker);
    if (at == std::string::npos) {
        error_ = "no listening line in: " + got;
        return;
    }
    port_ = std::atoi(got.c_str() + at + marker.size());
    if (port_ <= 0)
        error_ = "bad port in: " + got;
}

int Server::stop()
{
    if (proc_.pid <= 0)
        return -1;
    signalProcess(proc_.pid, SIGTERM);
    int status = waitExit(proc_, 20000);
    if (status == -1) {
        signalProcess(proc_.pid, SIGKILL);
        waitExit(proc_, 20000);
    }
    return status;
}

Server::~Server() { stop(); }

TempDir::TempDir()
{
    char tmpl[] = "/tmp/dvl_test.XXXXXX";
    if (::mkdtemp(tmpl))
        path_ = tmpl;
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

bool writeFile(const std::string &path, const std::string &content)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0;
}

int openDescriptors()
{
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n - 1; // the directory's own descriptor
}

} // namespace dvltest
