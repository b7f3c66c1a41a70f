#include "dorvel_harness.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace dorvel_test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string ReadSmallFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Nap()
{
    struct timespec t = {0, 1000000};
    nanosleep(&t, nullptr);
}

void RemoveTree(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (struct dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                RemoveTree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

// A pseudo-terminal in raw mode (bytes pass unchanged): *terminal is the
// side dorvel writes, *reader the side read here.
bool OpenTerminal(int *reader, int *terminal)
{
    *reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*reader < 0)
        return false;
    struct termios raw;
    const char *name = grantpt(*reader) == 0 && unlockpt(*reader) == 0 ? ptsname(*reader) : nullptr;
    *terminal = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (*terminal >= 0 && tcgetattr(*terminal, &raw) == 0) {
        cfmakeraw(&raw);
        if (tcsetattr(*terminal, TCSANOW, &raw) == 0)
            return true;
    }
    if (*terminal >= 0)
        close(*terminal);
    close(*reader);
    return false;
}

// Shrinks a pipe to one page and fills it through its write end, which stays
// blocking. Returns the bytes written, empty on failure.
std::string FillPipe(int writeEnd)
{
    const int flags = fcntl(writeEnd, F_GETFL);
    if (flags < 0 || fcntl(writeEnd, F_SETPIPE_SZ, 4096) < 0 || fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK) < 0)
        return "";
    std::string filler;
    const std::string chunk(512, 'F');
    ssize_t n;
    while ((n = write(writeEnd, chunk.data(), chunk.size())) > 0)
        filler.append(chunk, 0, static_cast<size_t>(n));
    return fcntl(writeEnd, F_SETFL, flags) == 0 ? filler : "";
}

} // namespace

Dorvel::Dorvel(const Launch &launch)
{
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int outFile = -1;
    if (launch.stdoutTerminal) {
        if (!OpenTerminal(&outPipe[0], &outPipe[1]))
            return;
    } else if (!launch.stdoutFile.empty()) {
        outFile = open(launch.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outFile < 0)
            return;
    } else if (pipe2(outPipe, O_CLOEXEC | (launch.nonBlockingStdout ? O_NONBLOCK : 0)) < 0) {
        return;
    } else if (launch.closeStdoutReader) {
        // Before the child exists, so its first write already finds no reader.
        close(outPipe[0]);
        outPipe[0] = -1;
    }
    if (pipe2(errPipe, O_CLOEXEC) < 0 || (launch.fullStderr && (filler_ = FillPipe(errPipe[1])).empty())) {
        if (errPipe[0] >= 0) {
            close(errPipe[0]);
            close(errPipe[1]);
        }
        if (outFile >= 0)
            close(outFile);
        if (outPipe[0] >= 0)
            close(outPipe[0]);
        if (outPipe[1] >= 0)
            close(outPipe[1]);
        return;
    }

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(launch.argv0.c_str()));
    for (const std::string &arg : launch.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    // The environment, with the library to preload; ASan must then be told
    // that its runtime does not come first.
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (launch.preload.empty() || (strncmp(*e, "LD_PRELOAD=", 11) != 0 && strncmp(*e, "ASAN_OPTIONS=", 13) != 0))
            env.emplace_back(*e);
    if (!launch.preload.empty()) {
        const char *asan = getenv("ASAN_OPTIONS");
        env.push_back("LD_PRELOAD=" + launch.preload);
        env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
    }
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int childOut = outFile >= 0 ? outFile : outPipe[1];

    pid_t pid = fork();
    if (pid == 0) {
        // Child: only async-signal-safe calls from here on.
        if (dup2(childOut, STDOUT_FILENO) < 0 || dup2(errPipe[1], STDERR_FILENO) < 0)
            _exit(120);
        if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) < 0)
            _exit(121);
        if (launch.noQueuedSignals) {
            struct rlimit none = {0, 0};
            if (setrlimit(RLIMIT_SIGPENDING, &none) < 0)
                _exit(122);
        }
        if (launch.ignoreSigpipe)
            signal(SIGPIPE, SIG_IGN);
        else
            signal(SIGPIPE, SIG_DFL);
        if (launch.asNobody && getuid() == 0) {
            if (setgroups(0, nullptr) < 0 || setgid(65534) < 0 || setuid(65534) < 0)
                _exit(123);
        }
        execve(DORVEL_PATH, argv.data(), envp.data());
        _exit(127);
    }

    close(errPipe[1]);
    if (outFile >= 0)
        close(outFile);
    else
        close(outPipe[1]);
    err_ = errPipe[0];
    out_ = outPipe[0];
    if (pid < 0) {
        if (out_ >= 0)
            close(out_);
        close(err_);
        out_ = err_ = -1;
        return;
    }
    pid_ = pid;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

Dorvel::~Dorvel()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (pidfd_ >= 0)
        close(pidfd_);
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
}

bool Dorvel::Pump(int timeoutMs)
{
    struct pollfd fds[2];
    int count = 0;
    if (out_ >= 0)
        fds[count++] = {out_, POLLIN, 0};
    if (err_ >= 0)
        fds[count++] = {err_, POLLIN, 0};
    if (count == 0)
        return false;
    int ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
    if (ready <= 0)
        return true;
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0)
            continue;
        char chunk[65536];
        ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        bool isOut = fds[i].fd == out_;
        if (n <= 0) {
            close(fds[i].fd);
            (isOut ? out_ : err_) = -1;
            continue;
        }
        (isOut ? outBuf_ : errBuf_).append(chunk, static_cast<size_t>(n));
    }
    return out_ >= 0 || err_ >= 0;
}

std::optional<std::string> Dorvel::NextRecord(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (outBuf_.size() >= 4) {
            int32_t length;
            memcpy(&length, outBuf_.data(), 4);
            if (length < 0)
                return std::nullopt;
            size_t total = 4 + static_cast<size_t>(length);
            if (outBuf_.size() >= total) {
                std::string content = outBuf_.substr(4, static_cast<size_t>(length));
                outBuf_.erase(0, total);
                return content;
            }
        }
        if (out_ < 0 || RemainingMs(deadline) == 0)
            return std::nullopt;
        Pump(RemainingMs(deadline));
    }
}

bool Dorvel::ReadToEnd(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_ >= 0 || (reaped_ && err_ >= 0)) {
        if (RemainingMs(deadline) == 0)
            return false;
        Pump(RemainingMs(deadline));
    }
    return true;
}

bool Dorvel::WaitIdle(int timeoutMs)
{
    if (pid_ <= 0 || reaped_)
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string proc = "/proc/" + std::to_string(pid_);
    const std::string suspended = std::to_string(SYS_rt_sigtimedwait) + " ";
    while (RemainingMs(deadline) > 0) {
        Pump(0);
        if (ReadSmallFile(proc + "/syscall").rfind(suspended, 0) == 0) {
            std::string status = ReadSmallFile(proc + "/status");
            bool pending = false;
            for (const char *key : {"\nSigPnd:", "\nShdPnd:"}) {
                size_t at = status.find(key);
                if (at == std::string::npos)
                    pending = true;
                else
                    pending |= strtoull(status.c_str() + at + strlen(key), nullptr, 16) != 0;
            }
            if (!pending && ReadSmallFile(proc + "/syscall").rfind(suspended, 0) == 0)
                return true;
        }
        if (Exited())
            return false;
        Nap();
    }
    return false;
}

bool Dorvel::Exited()
{
    if (pidfd_ < 0)
        return false;
    struct pollfd p = {pidfd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

bool Dorvel::WaitBlockedWriting(int descriptor, int timeoutMs)
{
    if (pid_ <= 0 || reaped_)
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string syscallFile = "/proc/" + std::to_string(pid_) + "/syscall";
    while (RemainingMs(deadline) > 0) {
        std::string call = ReadSmallFile(syscallFile);
        long number = -1;
        std::string firstArg;
        if (!call.empty() && call != "running\n") {
            std::istringstream fields(call);
            fields >> number >> firstArg;
        }
        // Asleep in write(descriptor, ...), writev(descriptor, ...) or in
        // ppoll or poll, waiting for room.
        bool writing = (number == SYS_write || number == SYS_writev) && strtol(firstArg.c_str(), nullptr, 16) == descriptor;
        if (writing || number == SYS_ppoll || number == SYS_poll) {
            std::string stat = ReadSmallFile("/proc/" + std::to_string(pid_) + "/stat");
            size_t close = stat.rfind(')');
            if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S')
                return true;
        }
        if (Exited())
            return false;
        Nap();
    }
    return false;
}

bool Dorvel::Signal(int signal)
{
    if (reaped_)
        return false;
    pid_t pid = pid_;
    if (pid <= 0)
        return false;
    return kill(pid, signal) == 0;
}

Exit Dorvel::WaitExit(int timeoutMs, bool readOutput)
{
    if (reaped_)
        return exit_;
    if (pid_ <= 0)
        return exit_;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exit_.exited = WIFEXITED(status);
            exit_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            exit_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            if (!readOutput)
                return exit_;
            // Collect what is left on the streams (bounded).
            auto drain = Clock::now() + std::chrono::milliseconds(WaitMs);
            while ((out_ >= 0 || err_ >= 0) && RemainingMs(drain) > 0)
                Pump(RemainingMs(drain));
            return exit_;
        }
        if (RemainingMs(deadline) == 0)
            return Exit{};
        if (pidfd_ >= 0) {
            struct pollfd p[3] = {{pidfd_, POLLIN, 0}, {readOutput ? out_ : -1, POLLIN, 0}, {readOutput ? err_ : -1, POLLIN, 0}};
            poll(p, 3, RemainingMs(deadline));
        } else {
            Nap();
        }
        if (readOutput)
            Pump(0);
    }
}

std::vector<std::string> Dorvel::OpenFiles() const
{
    std::vector<std::string> targets;
    if (pid_ <= 0)
        return targets;
    std::string dirPath = "/proc/" + std::to_string(pid_) + "/fd";
    DIR *dir = opendir(dirPath.c_str());
    if (dir == nullptr)
        return targets;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        ssize_t n = readlink((dirPath + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n >= 0)
            targets.emplace_back(target, static_cast<size_t>(n));
    }
    closedir(dir);
    return targets;
}

std::string Usage(const std::string &name)
{
    return "Usage: " + name + " [ options ] [ file ]\n  -h, --help                  Print this information.\n";
}

int CountOpenFDs()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;   // the directory stream's own descriptor
}

bool WriteFile(const std::string &path, const std::string &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dorvel-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) {
        char resolved[PATH_MAX];
        path_ = realpath(buffer.data(), resolved) != nullptr ? resolved : buffer.data();
    }
}

TempDir::~TempDir()
{
    if (!path_.empty())
        RemoveTree(path_);
}

} // namespace dorvel_test
