#include "plughost_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

extern char **environ;

namespace hosttest {

using Clock = std::chrono::steady_clock;

namespace {

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitReadable(int fd, Clock::time_point deadline)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, msLeft(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/plughost-test-XXXXXX";
    if (::mkdtemp(tmpl.data()))
        path_ = tmpl;
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

PlugHost::~PlugHost()
{
    if (pid_ > 0 && status_ < 0)
        stop(SIGKILL);
    if (pidfd_ >= 0)
        ::close(pidfd_);
}

bool PlugHost::start(const std::vector<std::string> &args)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> all{PLUGHOST_BIN};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string errPath = dir_.path() + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        pid_ = 0;
        return false;
    }
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));

    // Lines on stdout: "listening on ADDR (NAME)" for each listener, then "ready".
    const auto deadline = Clock::now() + kWait;
    std::string text;
    bool ready = false;
    while (!ready && waitReadable(out[0], deadline)) {
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        std::istringstream lines(text);
        std::string l;
        while (std::getline(lines, l)) {
            if (l == "ready")
                ready = true;
            const auto open = l.rfind(" (");
            if (l.rfind("listening on ", 0) == 0 && open != std::string::npos && l.back() == ')')
                addresses_[l.substr(open + 2, l.size() - open - 3)] = l.substr(13, open - 13);
        }
    }
    ::close(out[0]);
    if (!ready)
        waitExit();
    return ready;
}

int PlugHost::waitExit()
{
    if (status_ >= 0 || pid_ <= 0)
        return status_;
    const auto deadline = Clock::now() + kWait;
    if (pidfd_ >= 0 && !waitReadable(pidfd_, deadline))
        return -1;
    int st = 0;
    if (::waitpid(pid_, &st, 0) != pid_)
        return -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
}

int PlugHost::stop(int sig)
{
    if (pid_ > 0 && status_ < 0)
        ::kill(pid_, sig);
    return waitExit();
}

std::string PlugHost::errors() const { return readFile(dir_.path() + "/stderr"); }

std::string PlugHost::address(const std::string &plugin) const
{
    auto it = addresses_.find(plugin);
    return it == addresses_.end() ? std::string() : it->second;
}

int PlugHost::openDescriptors() const
{
    int n = 0;
    const std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    if (DIR *d = ::opendir(path.c_str())) {
        while (const dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

Conn::Conn(const std::string &address)
{
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (address.rfind("unix:", 0) == 0) {
        auto *sun = reinterpret_cast<sockaddr_un *>(&ss);
        sun->sun_family = AF_UNIX;
        std::strncpy(sun->sun_path, address.c_str() + 5, sizeof sun->sun_path - 1);
        len = sizeof *sun;
    } else if (!address.empty() && address[0] == '[') {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        const auto close = address.find(']');
        in6->sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address.substr(1, close - 1).c_str(), &in6->sin6_addr);
        in6->sin6_port = htons(static_cast<uint16_t>(std::stoi(address.substr(close + 2))));
        len = sizeof *in6;
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        const auto colon = address.rfind(':');
        if (colon == std::string::npos)
            return;
        in->sin_family = AF_INET;
        ::inet_pton(AF_INET, address.substr(0, colon).c_str(), &in->sin_addr);
        in->sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
        len = sizeof *in;
    }
    fd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Conn::~Conn()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Conn::send(const std::string &data)
{
    std::size_t done = 0;
    const auto deadline = Clock::now() + kWait;
    while (done < data.size()) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            return false;
        const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return true;
}

bool Conn::fill()
{
    if (closed_ || !waitReadable(fd_, Clock::now() + kWait))
        return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    buf_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> Conn::line()
{
    for (;;) {
        const auto nl = buf_.find('\n');
        if (nl != std::string::npos) {
            std::string l = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return l;
        }
        if (!fill())
            return std::nullopt;
    }
}

std::optional<std::string> Conn::bytes(std::size_t n)
{
    while (buf_.size() < n)
        if (!fill())
            return std::nullopt;
    std::string b = buf_.substr(0, n);
    buf_.erase(0, n);
    return b;
}

std::optional<std::string> Conn::untilClosed()
{
    while (!closed_) {
        if (!waitReadable(fd_, Clock::now() + kWait))
            return std::nullopt;
        fill();
    }
    return std::exchange(buf_, std::string());
}

void Conn::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

} // namespace hosttest
