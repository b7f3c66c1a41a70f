#include "plughost_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "support/proc.h"
#include "support/sockets.h"

namespace hosttest {

using Clock = std::chrono::steady_clock;

bool PlugHost::start(const std::vector<std::string> &args)
{
    testsupport::SpawnOptions o;
    o.argv = {PLUGHOST_BIN};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.stdinFromNull = false;
    o.stderrFile = dir_.file("stderr");
    std::string error;
    const bool ready = host_.start(o, &error);
    if (!ready)
        host_.waitExit();
    return ready;
}

int PlugHost::status() const { return host_.status() < 0 ? -1 : testsupport::exitCode(host_.status()); }

int PlugHost::waitExit()
{
    host_.waitExit();
    return status();
}

int PlugHost::stop(int sig)
{
    host_.stop(sig);
    return status();
}

std::string PlugHost::errors() const { return readFile(dir_.file("stderr")); }

int PlugHost::openDescriptors() const { return testsupport::descriptorsOf(host_.pid()); }

Conn::Conn(const std::string &address) : fd_(testsupport::connectTo(address, 0, false)) {}

Conn::~Conn()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Conn::send(const std::string &data) { return testsupport::sendAll(fd_, data.data(), data.size()); }

bool Conn::fill()
{
    if (closed_ || !testsupport::waitFd(fd_, POLLIN, Clock::now() + kWait))
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
        if (!testsupport::waitFd(fd_, POLLIN, Clock::now() + kWait))
            return std::nullopt;
        fill();
    }
    return std::exchange(buf_, std::string());
}

void Conn::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

} // namespace hosttest
