#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

extern char **environ;

namespace testsupport {

using Clock = std::chrono::steady_clock;

namespace {

int pidfdOpen(pid_t pid)
{
    if (pid <= 0)
        return -1;
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
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
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (env.set.count(name) || std::find(env.unset.begin(), env.unset.end(), name) != env.unset.end())
            continue;
        out.push_back(entry);
    }
    for (const auto &[k, v] : env.set)
        out.push_back(k + "=" + v);
    return out;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (std::string &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// The descriptors that become the child's 0, 1 and 2 (-1: as options say).
struct Stdio {
    int in = -1, out = -1, err = -1;
};

Stdio childStdio(const SpawnOptions &o, Stdio pipes)
{
    return {pipes.in, pipes.out >= 0 ? pipes.out : o.stdoutFd, pipes.err >= 0 ? pipes.err : o.stderrFd};
}

const char *stdinPath(const SpawnOptions &o) { return o.stdinFile.empty() ? "/dev/null" : o.stdinFile.c_str(); }

// Starts the program with posix_spawn; a failed exec is reported here.
pid_t spawnProgram(const SpawnOptions &o, const char *path, Stdio fd, char *const argv[], char *const envp[],
                   std::string *error)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fd.in >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd.in, STDIN_FILENO);
    else if (!o.stdinFile.empty() || o.stdinFromNull)
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdinPath(o), O_RDONLY, 0);
    if (fd.out >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd.out, STDOUT_FILENO);
    if (fd.err >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd.err, STDERR_FILENO);
    else if (!o.stderrFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, o.stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    if (o.childFd3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, o.childFd3, 3);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = o.argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

bool needsFork(const SpawnOptions &o)
{
    return o.closeOtherDescriptors || o.fileLimit > 0 || o.noQueuedSignals || o.ignoreSigpipe || o.asNobody ||
           !o.cwd.empty();
}

// Forks for what posix_spawn cannot do (limits, closing every other
// descriptor, another user). Everything is prepared before the fork: after it
// only async-signal-safe calls are made. A failed exec ends the child with 127,
// a failed preparation with 126.
pid_t forkProgram(const SpawnOptions &o, const char *path, Stdio fd, char *const argv[], char *const envp[],
                  std::string *error)
{
    const rlimit files{static_cast<rlim_t>(o.fileLimit), static_cast<rlim_t>(o.fileLimit)};
    const rlimit none{0, 0};
    const char *errPath = o.stderrFile.empty() ? nullptr : o.stderrFile.c_str();
    const char *inPath = stdinPath(o);
    const bool dropToNobody = o.asNobody && ::getuid() == 0;
    const pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork failed: ") + std::strerror(errno);
        return -1;
    }
    if (pid != 0)
        return pid;
    const bool stdinOpened = fd.in < 0 && (!o.stdinFile.empty() || o.stdinFromNull);
    if (stdinOpened)
        fd.in = ::open(inPath, O_RDONLY);
    if ((fd.in >= 0 || stdinOpened) && ::dup2(fd.in, STDIN_FILENO) < 0)
        ::_exit(126);
    if (fd.out >= 0 && ::dup2(fd.out, STDOUT_FILENO) < 0)
        ::_exit(126);
    if (fd.err < 0 && errPath)
        fd.err = ::open(errPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if ((fd.err >= 0 || errPath) && ::dup2(fd.err, STDERR_FILENO) < 0)
        ::_exit(126);
    if (o.childFd3 >= 0 && ::dup2(o.childFd3, 3) < 0)
        ::_exit(126);
    // Nothing else the test holds reaches the child: its descriptor counts
    // are its own.
    if (o.closeOtherDescriptors)
        ::syscall(SYS_close_range, o.childFd3 >= 0 ? 4u : 3u, ~0u, 0u);
    if ((o.fileLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &files) != 0) ||
        (o.noQueuedSignals && ::setrlimit(RLIMIT_SIGPENDING, &none) != 0) ||
        (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0))
        ::_exit(126);
    if (o.ignoreSigpipe)
        ::signal(SIGPIPE, SIG_IGN);
    if (dropToNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        ::_exit(126);
    ::execve(path, argv, envp);
    ::_exit(127);
}

pid_t launch(const SpawnOptions &o, Stdio pipes, std::string *error)
{
    if (o.argv.empty()) {
        *error = "no program";
        return -1;
    }
    std::vector<std::string> args = o.argv;
    std::vector<std::string> envStrings = buildEnv(o.env);
    const std::vector<char *> argv = pointers(args);
    const std::vector<char *> envp = pointers(envStrings);
    const Stdio fd = childStdio(o, pipes);
    const char *path = o.program.empty() ? argv[0] : o.program.c_str();
    if (needsFork(o))
        return forkProgram(o, path, fd, argv.data(), envp.data(), error);
    return spawnProgram(o, path, fd, argv.data(), envp.data(), error);
}

} // namespace

Process::Process(Process &&o) noexcept : pid(o.pid), in(o.in), out(o.out), err(o.err), pidfd(o.pidfd)
{
    o.pid = -1;
    o.in = -1;
    o.out = -1;
    o.err = -1;
    o.pidfd = -1;
}

Process &Process::operator=(Process &&o) noexcept
{
    if (this != &o) {
        this->~Process();
        pid = o.pid;
        in = o.in;
        out = o.out;
        err = o.err;
        pidfd = o.pidfd;
        o.pid = -1;
        o.in = -1;
        o.out = -1;
        o.err = -1;
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
    closeFd(in);
    closeFd(out);
    closeFd(err);
    closeFd(pidfd);
}

namespace {

// A pipe whose end `childEnd` (0: read, 1: write) goes to the child, which
// may want it non-blocking; the test's end blocks.
bool childPipe(int fds[2], int childEnd, bool nonBlocking)
{
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    if (nonBlocking)
        ::fcntl(fds[childEnd], F_SETFL, ::fcntl(fds[childEnd], F_GETFL) | O_NONBLOCK);
    return true;
}

} // namespace

Process start(const SpawnOptions &options, std::string *error)
{
    Process p;
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    const bool nb = options.childNonBlocking;
    const auto closeAll = [&] {
        for (int *fd : {&inPipe[0], &inPipe[1], &outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]})
            closeFd(*fd);
    };
    if ((options.stdinPipe && !childPipe(inPipe, 0, nb)) || (options.captureStdout && !childPipe(outPipe, 1, nb)) ||
        (options.stderrToPipe && !childPipe(errPipe, 1, nb))) {
        *error = std::string("pipe: ") + std::strerror(errno);
        closeAll();
        return p;
    }
    const pid_t pid = launch(options, {inPipe[0], outPipe[1], errPipe[1]}, error);
    closeFd(inPipe[0]);
    closeFd(outPipe[1]);
    closeFd(errPipe[1]);
    if (pid <= 0) {
        closeAll();
        return p;
    }
    p.pid = pid;
    p.in = inPipe[1];
    p.out = outPipe[0];
    p.err = errPipe[0];
    p.pidfd = pidfdOpen(pid);
    return p;
}

Process start(const std::vector<std::string> &argv, const Env &env, bool captureStdout, const std::string &stderrFile,
              std::string *error, int childFd3)
{
    SpawnOptions o;
    o.argv = argv;
    o.env = env;
    o.captureStdout = captureStdout;
    o.stderrFile = stderrFile;
    o.childFd3 = childFd3;
    return start(o, error);
}

Process start(const std::vector<std::string> &argv, bool captureStdout, const std::string &stderrFile,
              std::string *error)
{
    return start(argv, Env{}, captureStdout, stderrFile, error);
}

int waitExit(Process &p, int timeoutMs)
{
    if (p.pid <= 0)
        return -1;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (p.pidfd >= 0 && !waitFd(p.pidfd, POLLIN, end))
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

bool running(const Process &p)
{
    if (p.pid <= 0)
        return false;
    if (p.pidfd >= 0) {
        pollfd pfd{p.pidfd, POLLIN, 0};
        return ::poll(&pfd, 1, 0) == 0;
    }
    return ::kill(p.pid, 0) == 0;
}

bool signalProcess(pid_t pid, int sig)
{
    if (pid <= 0)
        return false;
    return ::kill(pid, sig) == 0;
}

int terminate(Process &p, int timeoutMs)
{
    if (p.pid <= 0)
        return -1;
    signalProcess(p.pid, SIGTERM);
    const int status = waitExit(p, timeoutMs);
    if (status == -1) {
        signalProcess(p.pid, SIGKILL);
        waitExit(p, timeoutMs);
    }
    return status;
}

int exitCode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

RunResult run(const std::vector<std::string> &argv, const Env &env, int timeoutMs)
{
    SpawnOptions o;
    o.argv = argv;
    o.env = env;
    return run(std::move(o), timeoutMs);
}

RunResult run(SpawnOptions o, int timeoutMs)
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
    const pid_t pid = launch(o, {-1, outPipe[1], errPipe[1]}, &error);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid <= 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        r.err = error;
        return r;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
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
        const int got = ::poll(p, static_cast<nfds_t>(n), msLeft(end));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (int k = 0; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            const ssize_t m = ::read(fds[which[k]], buf, sizeof buf);
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
    const int status = waitExit(p, msLeft(end));
    r.code = status == -1 ? -1 : exitCode(status);
    return r; // a process still running is killed by p's destructor
}

long raiseFileLimit()
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0)
        return -1;
    if (r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
        ::getrlimit(RLIMIT_NOFILE, &r);
    }
    return static_cast<long>(r.rlim_cur);
}

std::string findInPath(const std::string &program)
{
    const char *path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', begin), dirs.size());
        const std::string candidate = dirs.substr(begin, end - begin) + "/" + program;
        if (end > begin && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return "";
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitFd(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, msLeft(deadline));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

namespace {

// Reads what is there once fd is readable: 1 when bytes came, 0 at the end
// of the stream, -1 on error or when the deadline passed first.
int readMore(int fd, std::string *got, Clock::time_point end)
{
    char buf[65536];
    for (;;) {
        if (!waitFd(fd, POLLIN, end))
            return -1;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? 0 : -1;
        got->append(buf, static_cast<std::size_t>(n));
        return 1;
    }
}

} // namespace

bool readUntil(int fd, const std::string &text, std::string *got, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got->find(text) == std::string::npos)
        if (readMore(fd, got, end) <= 0)
            return false;
    return true;
}

bool readToEnd(int fd, std::string *got, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int r;
    while ((r = readMore(fd, got, end)) > 0) {
    }
    return r == 0;
}

bool waitFor(const std::function<bool()> &cond, int timeoutMs, std::chrono::milliseconds interval)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(interval);
    }
}

} // namespace testsupport
