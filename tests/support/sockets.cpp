#include "support/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace testsupport {

using Clock = std::chrono::steady_clock;

namespace {

int portOf(const std::string &text)
{
    char *end = nullptr;
    const long port = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0' && port > 0 && port < 65536 ? static_cast<int>(port) : -1;
}

// Fills ss from the address text; false when it is not one.
bool parseAddress(const std::string &address, sockaddr_storage *ss, socklen_t *len)
{
    if (address.rfind("unix:", 0) == 0) {
        auto *sun = reinterpret_cast<sockaddr_un *>(ss);
        sun->sun_family = AF_UNIX;
        std::strncpy(sun->sun_path, address.c_str() + 5, sizeof sun->sun_path - 1);
        *len = sizeof *sun;
        return true;
    }
    if (!address.empty() && address[0] == '[') {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
        const auto close = address.find("]:");
        const int port = close == std::string::npos ? -1 : portOf(address.substr(close + 2));
        in6->sin6_family = AF_INET6;
        if (port < 0 || ::inet_pton(AF_INET6, address.substr(1, close - 1).c_str(), &in6->sin6_addr) != 1)
            return false;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        *len = sizeof *in6;
        return true;
    }
    auto *in = reinterpret_cast<sockaddr_in *>(ss);
    const auto colon = address.rfind(':');
    const int port = colon == std::string::npos ? -1 : portOf(address.substr(colon + 1));
    in->sin_family = AF_INET;
    if (port < 0 || ::inet_pton(AF_INET, address.substr(0, colon).c_str(), &in->sin_addr) != 1)
        return false;
    in->sin_port = htons(static_cast<uint16_t>(port));
    *len = sizeof *in;
    return true;
}

} // namespace

int connectTo(const std::string &address, int rcvbuf, bool nonBlocking)
{
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (!parseAddress(address, &ss, &len))
        return -1;
    const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<sockaddr *>(&ss), len);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    if (nonBlocking)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

std::string readBytes(int fd, std::size_t n, int *end, std::chrono::milliseconds bound)
{
    const auto deadline = Clock::now() + bound;
    std::string got;
    *end = 0;
    while (got.size() < n) {
        if (!waitFd(fd, POLLIN, deadline)) {
            *end = 3;
            break;
        }
        char buf[65536];
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
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

std::string readToEnd(int fd, int *end, std::chrono::milliseconds bound) { return readBytes(fd, SIZE_MAX, end, bound); }

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
        const ssize_t w = ::send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return false;
        if (!waitFd(fd, POLLOUT, deadline))
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

StreamProgress streamPieces(int fd, const std::vector<std::string_view> &pieces, std::size_t count, std::size_t expect,
                            const std::function<void(const StreamProgress &)> &tick, std::chrono::milliseconds bound,
                            bool readBack)
{
    if (!readBack)
        expect = 0;
    StreamProgress p;
    const auto deadline = Clock::now() + bound;
    std::size_t offset = 0; // into the current piece
    char buf[65536];
    while (!pieces.empty() && (p.piecesSent < count || p.received.size() < expect)) {
        pollfd pfd{fd, static_cast<short>((readBack ? POLLIN : 0) | (p.piecesSent < count ? POLLOUT : 0)), 0};
        const int n = ::poll(&pfd, 1, msLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return p; // timeout or failure
        if (pfd.revents & POLLIN) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return p;
            if (got > 0)
                p.received.append(buf, static_cast<std::size_t>(got));
        }
        while (p.piecesSent < count) {
            const std::string_view piece = pieces[p.piecesSent % pieces.size()];
            const ssize_t put = ::send(fd, piece.data() + offset, piece.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0 && errno == EAGAIN)
                break;
            if (put < 0)
                return p;
            offset += static_cast<std::size_t>(put);
            if (offset < piece.size())
                break;
            offset = 0;
            ++p.piecesSent;
        }
        if (pfd.revents & (POLLERR | POLLHUP) && !(readBack && (pfd.revents & POLLIN)))
            return p;
        if (tick)
            tick(p);
    }
    p.done = p.piecesSent == count && p.received.size() >= expect;
    return p;
}

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

} // namespace testsupport
