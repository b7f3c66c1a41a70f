#include "dorvel_harness.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace dorvel_test {

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::msLeft;
using testsupport::readFile;

void Nap()
{
    struct timespec t = {0, 1000000};
    nanosleep(&t, nullptr);
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
    if (pipe2(errPipe, O_CLOEXEC) == 0 && (!launch.fullStderr || !(filler_ = FillPipe(errPipe[1])).empty())) {
        testsupport::SpawnOptions o;
        o.program = DORVEL_PATH;
        o.argv = {launch.argv0};
        o.argv.insert(o.argv.end(), launch.args.begin(), launch.args.end());
        // ASan must be told that its runtime does not come first.
        if (!launch.preload.empty()) {
            const char *asan = getenv("ASAN_OPTIONS");
            o.env.set["LD_PRELOAD"] = launch.preload;
            o.env.set["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
        }
        o.stdoutFd = outFile >= 0 ? outFile : outPipe[1];
        o.stderrFd = errPipe[1];
        o.cwd = launch.cwd;
        o.noQueuedSignals = launch.noQueuedSignals;
        o.ignoreSigpipe = launch.ignoreSigpipe;
        o.asNobody = launch.asNobody;
        std::string error;
        proc_ = testsupport::start(o, &error);
    }
    for (int fd : {outFile, outPipe[1], errPipe[1]})
        if (fd >= 0)
            close(fd);
    out_ = outPipe[0];
    err_ = errPipe[0];
    if (proc_.pid <= 0) {
        for (int fd : {out_, err_})
            if (fd >= 0)
                close(fd);
        out_ = err_ = -1;
        return;
    }
    pid_ = proc_.pid;
}

Dorvel::~Dorvel()
{
    for (int fd : {out_, err_})
        if (fd >= 0)
            close(fd);
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
        if (out_ < 0 || msLeft(deadline) == 0)
            return std::nullopt;
        Pump(msLeft(deadline));
    }
}

bool Dorvel::ReadToEnd(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_ >= 0 || (pid_ > 0 && proc_.pid <= 0 && err_ >= 0)) {
        if (msLeft(deadline) == 0)
            return false;
        Pump(msLeft(deadline));
    }
    return true;
}

bool Dorvel::WaitIdle(int timeoutMs)
{
    if (!testsupport::running(proc_))
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string proc = "/proc/" + std::to_string(pid_);
    const std::string suspended = std::to_string(SYS_rt_sigtimedwait) + " ";
    while (msLeft(deadline) > 0) {
        Pump(0);
        if (readFile(proc + "/syscall").rfind(suspended, 0) == 0) {
            std::string status = readFile(proc + "/status");
            bool pending = false;
            for (const char *key : {"\nSigPnd:", "\nShdPnd:"}) {
                size_t at = status.find(key);
                if (at == std::string::npos)
                    pending = true;
                else
                    pending |= strtoull(status.c_str() + at + strlen(key), nullptr, 16) != 0;
            }
            if (!pending && readFile(proc + "/syscall").rfind(suspended, 0) == 0)
                return true;
        }
        if (!testsupport::running(proc_))
            return false;
        Nap();
    }
    return false;
}

bool Dorvel::WaitBlockedWriting(int descriptor, int timeoutMs)
{
    if (!testsupport::running(proc_))
        return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string syscallFile = "/proc/" + std::to_string(pid_) + "/syscall";
    while (msLeft(deadline) > 0) {
        std::string call = readFile(syscallFile);
        long number = -1;
        std::string firstArg;
        if (!call.empty() && call != "running\n") {
            std::istringstream fields(call);
            fields >> number >> firstArg;
        }
        // Asleep in write(descriptor, ...), writev(descriptor, ...) or in
        // ppoll or poll, waiting for room.
        bool writing =
            (number == SYS_write || number == SYS_writev) && strtol(firstArg.c_str(), nullptr, 16) == descriptor;
        if ((writing || number == SYS_ppoll || number == SYS_poll) && testsupport::readStat(pid_).state == 'S')
            return true;
        if (!testsupport::running(proc_))
            return false;
        Nap();
    }
    return false;
}

bool Dorvel::Signal(int signal) { return proc_.pid > 0 && testsupport::signalProcess(proc_.pid, signal); }

Exit Dorvel::WaitExit(int timeoutMs, bool readOutput)
{
    if (proc_.pid <= 0)
        return exit_;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (testsupport::running(proc_)) {
        if (msLeft(deadline) == 0)
            return Exit{};
        struct pollfd p[3] = {
            {proc_.pidfd, POLLIN, 0}, {readOutput ? out_ : -1, POLLIN, 0}, {readOutput ? err_ : -1, POLLIN, 0}};
        poll(p, 3, msLeft(deadline));
        if (readOutput)
            Pump(0);
    }
    const int status = testsupport::waitExit(proc_, 0);
    exit_.exited = WIFEXITED(status);
    exit_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    exit_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (readOutput) {
        // Collect what is left on the streams (bounded).
        auto drain = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while ((out_ >= 0 || err_ >= 0) && msLeft(drain) > 0)
            Pump(msLeft(drain));
    }
    return exit_;
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

} // namespace dorvel_test
