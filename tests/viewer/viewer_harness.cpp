#include "viewer_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

extern char** environ;

namespace orvane_test {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline() { return Clock::now() + std::chrono::milliseconds(kWaitMs); }

int MsLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

bool Removed(const std::string& entry)
{
    const std::string name = entry.substr(0, entry.find('='));
    return name.rfind("ORVANE_", 0) == 0 || name.rfind("SDL_", 0) == 0 || name == "DISPLAY" ||
           name == "WAYLAND_DISPLAY";
}

} // namespace

std::string ViewerPath() { return ORVANE_EXE; }

bool WindowBackendBuilt()
{
    static const bool built = [] {
        TempDir dir;
        const std::string err = dir.path() + "/help";
        ViewerProcess v({"-h"}, Env{}, err);
        return v.WaitExit() == 0 && ReadFile(err).find("backends: window") != std::string::npos;
    }();
    return built;
}

TempDir::TempDir()
{
    char templ[] = "/tmp/orvane-test-XXXXXX";
    if (!mkdtemp(templ))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

int OpenFdCount()
{
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n - 1; // the iterator's own descriptor
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

std::optional<Image> ReadPng(const std::string& path)
{
    int w = 0, h = 0, n = 0;
    stbi_uc* data = stbi_load(path.c_str(), &w, &h, &n, 3);
    if (!data)
        return std::nullopt;
    Image img{w, h, std::vector<uint8_t>(data, data + size_t(w) * h * 3)};
    stbi_image_free(data);
    return img;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

ViewerProcess::ViewerProcess(const std::vector<std::string>& args, const Env& env,
                             const std::string& stderr_path, bool nonblocking)
{
    int in_pipe[2], out_pipe[2];
    const int extra = nonblocking ? O_NONBLOCK : 0;
    if (pipe2(in_pipe, O_CLOEXEC | extra) != 0)
        return;
    if (pipe2(out_pipe, O_CLOEXEC | extra) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        return;
    }
    // The test keeps blocking ends; only the child's carry O_NONBLOCK.
    if (nonblocking) {
        fcntl(in_pipe[1], F_SETFL, 0);
        fcntl(out_pipe[0], F_SETFL, 0);
    }

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e)
        if (!Removed(*e))
            env_strings.emplace_back(*e);
    for (const auto& [k, v] : env.set)
        env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string path = ViewerPath();
    std::vector<std::string> argv_strings{path};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (pid <= 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        return;
    }
    pid_ = pid;
    in_ = in_pipe[1];
    out_ = out_pipe[0];
}

ViewerProcess::~ViewerProcess()
{
    CloseInput();
    if (out_ >= 0)
        close(out_);
    if (pid_ > 0 && !reaped_) {
        if (!WaitExit()) {
            if (pid_ > 0)
                kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
}

bool ViewerProcess::Write(const uint8_t* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(in_, data + done, size - done);
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
        pollfd p{out_, POLLIN, 0};
        const int r = poll(&p, 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        const ssize_t n = read(out_, bytes + got, sizeof bytes - got);
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
    pollfd p{out_, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool ViewerProcess::OutputClosed()
{
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1)
        return false;
    char c;
    return read(out_, &c, 1) == 0;
}

int ViewerProcess::InputPending()
{
    int n = -1;
    if (ioctl(in_, FIONREAD, &n) != 0)
        return -1;
    return n;
}

int ViewerProcess::InputPipeSize() { return fcntl(in_, F_GETPIPE_SZ); }

bool ViewerProcess::WaitIdle()
{
    const auto deadline = Deadline();
    const std::string stat_path = "/proc/" + std::to_string(pid_) + "/stat";
    while (MsLeft(deadline) > 0) {
        if (InputPending() == 0) {
            // The state letter follows the command name in parentheses.
            const std::string stat = ReadFile(stat_path);
            const size_t paren = stat.rfind(')');
            if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S' &&
                InputPending() == 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void ViewerProcess::CloseInput()
{
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

std::optional<int> ViewerProcess::WaitExit()
{
    if (pid_ <= 0 || reaped_)
        return std::nullopt;
    const auto status = WaitChild(pid_);
    reaped_ = status.has_value();
    return status;
}

std::optional<int> WaitChild(pid_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    const auto deadline = Deadline();
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    std::optional<int> result;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
        const int left = MsLeft(deadline);
        if (left == 0)
            break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return result;
}

} // namespace orvane_test
