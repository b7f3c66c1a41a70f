#include "viewer_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace orvane_test {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline() { return Clock::now() + std::chrono::milliseconds(kWaitMs); }

// The viewer picks its backend from these: a test names its own.
bool Removed(const std::string& name)
{
    return name.rfind("ORVANE_", 0) == 0 || name.rfind("SDL_", 0) == 0 || name == "DISPLAY" ||
           name == "WAYLAND_DISPLAY";
}

} // namespace

std::string ViewerPath() { return ORVANE_EXE; }

bool WindowBackendBuilt()
{
    static const bool built = [] {
        const auto r = testsupport::run({ViewerPath(), "-h"}, {}, kWaitMs);
        return r.code == 0 && r.err.find("backends: window") != std::string::npos;
    }();
    return built;
}

std::vector<uint8_t> Frame(int32_t word0, int32_t word1, int32_t width, int32_t height,
                           const std::vector<uint8_t>& pixels)
{
    const int32_t words[4] = {word0, word1, width, height};
    std::vector<uint8_t> f(sizeof words + pixels.size());
    std::memcpy(f.data(), words, sizeof words);
    if (!pixels.empty())
        std::memcpy(f.data() + sizeof words, pixels.data(), pixels.size());
    return f;
}

std::vector<uint8_t> PatternImage(int width, int height, uint8_t seed)
{
    std::vector<uint8_t> p(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* px = &p[(size_t(y) * width + x) * 3];
            px[0] = uint8_t(seed + x * 7 + 1);
            px[1] = uint8_t(seed + y * 13 + 2);
            px[2] = uint8_t(seed + x * 5 + y * 3 + 3);
        }
    return p;
}

ViewerProcess::ViewerProcess(const std::vector<std::string>& args, const Env& env,
                             const std::string& stderr_path, bool nonblocking)
{
    testsupport::SpawnOptions o;
    o.argv = {ViewerPath()};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env.set = env.set;
    for (char** e = environ; *e; ++e) {
        const std::string name(*e, std::strcspn(*e, "="));
        if (Removed(name) && !env.set.count(name))
            o.env.unset.push_back(name);
    }
    o.stdinPipe = true;
    o.captureStdout = true;
    o.childNonBlocking = nonblocking;
    o.stderrFile = stderr_path;
    std::string error;
    if (testsupport::writeFile(stderr_path, ""))
        proc_ = testsupport::start(o, &error);
    started_ = proc_.pid > 0;
}

ViewerProcess::~ViewerProcess()
{
    CloseInput();
    if (proc_.pid > 0)
        testsupport::waitExit(proc_, kWaitMs); // else killed by proc_
}

bool ViewerProcess::Write(const uint8_t* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(proc_.in, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool ViewerProcess::Write(const std::vector<uint8_t>& bytes)
{
    return Write(bytes.data(), bytes.size());
}

std::optional<int32_t> ViewerProcess::ReadResult()
{
    unsigned char bytes[4];
    size_t got = 0;
    const auto deadline = Deadline();
    while (got < sizeof bytes) {
        pollfd p{proc_.out, POLLIN, 0};
        const int r = poll(&p, 1, testsupport::msLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        const ssize_t n = read(proc_.out, bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        got += size_t(n);
    }
    int32_t v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

std::optional<int32_t> ViewerProcess::Request(const std::vector<uint8_t>& frame)
{
    if (!Write(frame))
        return std::nullopt;
    return ReadResult();
}

bool ViewerProcess::OutputPending()
{
    pollfd p{proc_.out, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool ViewerProcess::OutputClosed()
{
    pollfd p{proc_.out, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1)
        return false;
    char c;
    return read(proc_.out, &c, 1) == 0;
}

int ViewerProcess::InputPending()
{
    int n = -1;
    if (ioctl(proc_.in, FIONREAD, &n) != 0)
        return -1;
    return n;
}

int ViewerProcess::InputPipeSize() { return fcntl(proc_.in, F_GETPIPE_SZ); }

bool ViewerProcess::WaitIdle()
{
    const auto deadline = Deadline();
    while (Clock::now() < deadline) {
        if (InputPending() == 0 && testsupport::readStat(proc_.pid).state == 'S' &&
            InputPending() == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void ViewerProcess::CloseInput()
{
    if (proc_.in >= 0)
        close(proc_.in);
    proc_.in = -1;
}

std::optional<int> ViewerProcess::WaitExit()
{
    if (proc_.pid <= 0)
        return std::nullopt;
    const int status = testsupport::waitExit(proc_, kWaitMs);
    if (status == -1)
        return std::nullopt;
    return testsupport::exitCode(status);
}

} // namespace orvane_test
