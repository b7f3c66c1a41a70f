#include "ov_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace ovtest {

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

bool pollIn(int fd, Clock::time_point end)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, msLeft(end));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::vector<std::string> buildEnv(const Env &env)
{
    std::vector<std::string> out;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (env.set.count(name) ||
            std::find(env.unset.begin(), env.unset.end(), name) != env.unset.end())
            continue;
        out.push_back(entry);
    }
    for (const auto &[k, v] : env.set)
        out.push_back(k + "=" + v);
    return out;
}

int decode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

struct ProcStat {
    bool ok = false;
    std::string comm;
    char state = '?';
    pid_t ppid = 0;
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
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 > line.size())
        return s;
    s.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    rest >> s.state >> s.ppid;
    s.ok = static_cast<bool>(rest);
    return s;
}

int countDir(const std::string &path)
{
    DIR *d = ::opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n;
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

namespace {

// Spawns with stdout and stderr going to the given descriptors (or the named
// stderr file, or inherited).
pid_t spawn(const std::vector<std::string> &argv, const Env &env, int outFd, int errFd,
            const std::string &stderrFile, std::string *error, int fd3 = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    if (errFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    else if (!stderrFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings = buildEnv(env);
    std::vector<char *> envp;
    for (std::string &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

} // namespace

Process start(const std::vector<std::string> &argv, const Env &env, bool captureStdout,
              const std::string &stderrFile, std::string *error, int childFd3)
{
    Process p;
    int pipeFd[2] = {-1, -1};
    if (captureStdout && ::pipe2(pipeFd, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return p;
    }
    pid_t pid = spawn(argv, env, pipeFd[1], -1, stderrFile, error, childFd3);
    closeFd(pipeFd[1]);
    if (pid <= 0) {
        closeFd(pipeFd[0]);
        return p;
    }
    p.pid = pid;
    p.out = pipeFd[0];
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

std::string findInPath(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        size_t end = std::min(dirs.find(':', begin), dirs.size());
        std::string candidate = dirs.substr(begin, end - begin) + "/" + program;
        if (end > begin && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return "";
}

bool signalProcess(pid_t pid, int sig)
{
    if (pid <= 0)
        return false;
    return ::kill(pid, sig) == 0;
}

RunResult run(const std::vector<std::string> &argv, const Env &env, int timeoutMs)
{
    RunResult r;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return r;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return r;
    }
    std::string error;
    pid_t pid = spawn(argv, env, outPipe[1], errPipe[1], "", &error);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid <= 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        r.err = error;
        return r;
    }
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string *sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        int got = ::poll(p, static_cast<nfds_t>(n), msLeft(end));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (int k = 0; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t m = ::read(fds[which[k]], buf, sizeof buf);
            if (m < 0 && errno == EINTR)
                continue;
            if (m <= 0) {
                closeFd(fds[which[k]]);
                --open;
            } else {
                sinks[which[k]]->append(buf, static_cast<size_t>(m));
            }
        }
    }
    closeFd(fds[0]);
    closeFd(fds[1]);
    Process p;
    p.pid = pid;
    p.pidfd = pidfdOpen(pid);
    int status = waitExit(p, msLeft(end));
    r.code = status == -1 ? -1 : decode(status);
    return r; // a process still running is killed by p's destructor
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
        got->append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool waitFor(const std::function<bool()> &cond, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm, bool withZombies)
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
        bool zombie = s.state == 'Z' || s.state == 'X';
        if (s.ok && s.ppid == parent && s.comm == comm && (withZombies || !zombie))
            found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(d);
    return found;
}

bool reaped(pid_t pid)
{
    struct stat st;
    return pid > 0 && ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0;
}

int descriptorsOf(pid_t pid) { return countDir("/proc/" + std::to_string(pid) + "/fd"); }

int openDescriptors()
{
    int n = countDir("/proc/self/fd");
    return n < 0 ? n : n - 1; // the directory's own descriptor
}

std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

long long wallMicros()
{
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

Server::Server(const std::string &plughost, const std::string &moduleDir, const Env &env,
               const std::string &logFile, const std::vector<std::string> &extra)
{
    std::vector<std::string> argv{plughost, "--module-dir", moduleDir, "--listen", "ov_handler=127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = start(argv, env, true, logFile, &error_);
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
    char tmpl[] = "/tmp/ov_e2e.XXXXXX";
    if (::mkdtemp(tmpl))
        path_ = tmpl;
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        // A directory made unwritable by a test is made writable first.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
}

} // namespace ovtest
