#include "load_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace loadtest {

using Clock = std::chrono::steady_clock;

namespace {

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// poll() for one descriptor until the deadline; EINTR is repeated.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, msLeft(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

struct ProcStat {
    bool ok = false;
    pid_t ppid = 0;
    char state = '?';
    std::string comm;
};

ProcStat readStat(pid_t pid)
{
    ProcStat s;
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size())
        return s;
    s.comm = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 2));
    rest >> s.state >> s.ppid;
    s.ok = !rest.fail();
    return s;
}

} // namespace

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/plughost-load-XXXXXX";
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

bool writeFile(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
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

bool overwriteFile(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n;
    do
        n = ::pwrite(fd, content.data(), content.size(), 0);
    while (n < 0 && errno == EINTR);
    const bool ok = n == static_cast<ssize_t>(content.size());
    return ::close(fd) == 0 && ok;
}

Host::~Host()
{
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
    if (pidfd_ >= 0)
        ::close(pidfd_);
}

bool Host::start(const HostOptions &options)
{
    if (dir_.path().empty()) {
        error_ = "mkdtemp failed";
        return false;
    }
    // Everything the child needs is prepared before the fork: after it only
    // async-signal-safe calls are made.
    std::vector<std::string> args{PLUGHOST_BIN};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> vars = options.env;
    if (options.quietUnclutter) {
        const std::string bin = dir_.file("bin");
        if (::mkdir(bin.c_str(), 0755) != 0 || !writeFile(bin + "/unclutter", "#!/bin/sh\nexec cat >/dev/null\n") ||
            ::chmod((bin + "/unclutter").c_str(), 0755) != 0) {
            error_ = "cannot write the stand-in unclutter";
            return false;
        }
        const char *path = std::getenv("PATH");
        vars["PATH"] = bin + ":" + (path && *path ? path : "/usr/bin:/bin");
    }
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos && vars.count(entry.substr(0, eq)))
            continue;
        env.push_back(entry);
    }
    for (const auto &[k, v] : vars)
        env.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string logPath = dir_.file("plughost.log");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = "pipe2 failed";
        return false;
    }
    const rlimit limit{static_cast<rlim_t>(options.fileLimit), static_cast<rlim_t>(options.fileLimit)};
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        error_ = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int err = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(126);
        // Nothing else the test holds reaches the host: its descriptor
        // counts are its own.
        ::syscall(SYS_close_range, 3u, ~0u, 0u);
        if (options.fileLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    pid_ = pid;
    ::close(out[1]);
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));

    const auto deadline = Clock::now() + kWait;
    std::string text;
    bool ready = false;
    while (!ready && waitFor(out[0], POLLIN, deadline)) {
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        ready = text.find("\nready\n") != std::string::npos || text.rfind("ready\n", 0) == 0;
    }
    ::close(out[0]);
    std::istringstream lines(text);
    std::string l;
    while (std::getline(lines, l)) {
        const auto open = l.rfind(" (");
        if (l.rfind("listening on ", 0) == 0 && open != std::string::npos && l.back() == ')')
            addresses_[l.substr(open + 2, l.size() - open - 3)] = l.substr(13, open - 13);
    }
    if (!ready) {
        error_ = "plughost did not report ready; stdout: " + text + "\nlog:\n" + log();
        stop();
    }
    return ready;
}

bool Host::running() const
{
    if (pid_ <= 0 || status_ >= 0)
        return false;
    if (pidfd_ >= 0) {
        pollfd p{pidfd_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    return ::kill(pid_, 0) == 0;
}

int Host::stop()
{
    if (pid_ <= 0 || status_ >= 0)
        return status_;
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + kWait;
    if (pidfd_ >= 0 && !waitFor(pidfd_, POLLIN, deadline)) {
        if (pid_ > 0)
            ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        status_ = st;
        return -1;
    }
    int st = 0;
    if (::waitpid(pid_, &st, 0) != pid_)
        return -1;
    status_ = st;
    return st;
}

std::string Host::log() const { return readFile(dir_.file("plughost.log")); }

std::string Host::address(const std::string &plugin) const
{
    const auto it = addresses_.find(plugin);
    return it == addresses_.end() ? std::string() : it->second;
}

HostOptions imageHostOptions()
{
    HostOptions o;
    o.env = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "320x240"}, {"ORVANE_SNAPSHOT_DIR", ""}};
    return o;
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

int openDescriptors(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = ::opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    // The directory stream itself counts when a process looks at its own.
    return pid == ::getpid() ? n - 1 : n;
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

int waitForDescriptors(pid_t pid, int count, std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    int n = openDescriptors(pid);
    // The host closes descriptors in its own time: look again until the
    // count is reached or the bound has passed.
    while (n != count && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = openDescriptors(pid);
    }
    return n;
}

std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm)
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
        if (s.ok && s.ppid == parent && s.comm == comm && s.state != 'Z' && s.state != 'X')
            found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(d);
    return found;
}

std::size_t waitForChildren(pid_t parent, const std::string &comm, std::size_t count,
                            std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    std::size_t n = childrenNamed(parent, comm).size();
    while (n != count && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = childrenNamed(parent, comm).size();
    }
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
        sent = waitFor(pidfd, POLLIN, Clock::now() + kWait);
    ::close(pidfd);
    return sent;
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

int connectTo(const std::string &address, int rcvbuf)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos)
        return -1;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.substr(0, colon).c_str(), &in.sin_addr) != 1)
        return -1;
    in.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

std::string readBytes(int fd, std::size_t n, int *end, std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    std::string got;
    *end = 0;
    while (got.size() < n) {
        if (!waitFor(fd, POLLIN, deadline)) {
            *end = 3;
            break;
        }
        char buf[65536];
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r > 0) {
            got.append(buf, static_cast<std::size_t>(r));
        } else if (r == 0) {
            *end = 1;
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            *end = 2;
            break;
        }
    }
    return got;
}

std::string readToEnd(int fd, int *end, std::chrono::milliseconds bound)
{
    std::string got = readBytes(fd, SIZE_MAX, end, bound);
    return got;
}

int64_t readWord(int fd, std::chrono::milliseconds bound)
{
    int end = 0;
    const std::string w = readBytes(fd, 4, &end, bound);
    if (end == 3)
        return -2;
    if (w.size() < 4)
        return -1;
    const auto *p = reinterpret_cast<const unsigned char *>(w.data());
    return (int64_t{p[0]} << 24) | (int64_t{p[1]} << 16) | (int64_t{p[2]} << 8) | int64_t{p[3]};
}

bool sendAll(int fd, const void *data, std::size_t n, std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    const auto *p = static_cast<const char *>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return false;
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
    }
    return true;
}

std::string be32(uint32_t v)
{
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    return std::string(b, 4);
}

} // namespace loadtest
