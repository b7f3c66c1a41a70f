#include "clientlib/io.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "clientlib/bytes.h"
#include "clientlib/error.h"

namespace clientlib {
namespace {

std::string SysText(int err) { return std::strerror(err); }

constexpr size_t kMaxIov = 1024;  // IOV_MAX on Linux

// Waits for `events` on fd; throws Timeout when the deadline passes first.
void WaitFor(int fd, short events, Deadline deadline, const char* what) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, deadline.PollTimeout());
        if (r > 0) return;
        if (r == 0) throw ClientError(ErrorKind::Timeout, std::string("timed out ") + what);
        if (errno != EINTR)
            throw ClientError(ErrorKind::Io, std::string("poll failed: ") + SysText(errno));
    }
}

// One non-blocking connect attempt; returns 0 or the errno of the failure.
int TryConnect(const sockaddr* sa, socklen_t len, int family, Deadline deadline, Socket& out) {
    Socket s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.valid()) return errno;
    int r;
    do {
        r = ::connect(s.fd(), sa, len);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && errno != EINPROGRESS) return errno;
    if (r < 0) {
        for (;;) {
            pollfd p{s.fd(), POLLOUT, 0};
            int pr = ::poll(&p, 1, deadline.PollTimeout());
            if (pr > 0) break;
            if (pr == 0) return ETIMEDOUT;
            if (errno != EINTR) return errno;
        }
        int err = 0;
        socklen_t elen = sizeof err;
        if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &err, &elen) < 0) return errno;
        if (err != 0) return err;
    }
    out = std::move(s);
    return 0;
}

[[noreturn]] void ConnectError(const Address& address, int err) {
    std::string msg = "cannot connect to " + address.ToString() + ": " + SysText(err);
    if (err == ECONNREFUSED)
        throw ClientError(ErrorKind::Refused,
                          "connection refused by " + address.ToString() + " (is the server running?)");
    if (err == ETIMEDOUT) throw ClientError(ErrorKind::ConnectFailed, msg + " (timed out)");
    throw ClientError(ErrorKind::ConnectFailed, msg);
}

}  // namespace

int Deadline::PollTimeout() const {
    if (!at) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now()).count();
    if (left <= 0) return 0;
    if (left > 1000 * 1000 * 1000) return 1000 * 1000 * 1000;
    return static_cast<int>(left);
}

Socket::~Socket() { Close(); }

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

void Socket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);  // never retried: the descriptor is gone whatever close says
        fd_ = -1;
    }
}

Socket Connect(const Address& address, std::chrono::milliseconds timeout) {
    Deadline deadline = Deadline::After(timeout);
    Socket s;
    if (address.kind == Address::Kind::Unix) {
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        if (address.path.size() >= sizeof sun.sun_path)
            throw ClientError(ErrorKind::BadAddress, "socket path too long: " + address.path);
        std::memcpy(sun.sun_path, address.path.data(), address.path.size());
        int err = TryConnect(reinterpret_cast<const sockaddr*>(&sun), sizeof sun, AF_UNIX, deadline, s);
        if (err != 0) ConnectError(address, err);
        return s;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    std::string port = std::to_string(address.port);
    // An empty host, as in ":7411", means this machine (getaddrinfo gives loopback).
    int gai = ::getaddrinfo(address.host.empty() ? nullptr : address.host.c_str(), port.c_str(), &hints, &list);
    if (gai != 0)
        throw ClientError(ErrorKind::ConnectFailed,
                          "cannot resolve " + address.host + ": " + ::gai_strerror(gai));
    int last = ECONNREFUSED;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        last = TryConnect(ai->ai_addr, ai->ai_addrlen, ai->ai_family, deadline, s);
        if (last == 0) break;
    }
    ::freeaddrinfo(list);
    if (last != 0) ConnectError(address, last);
    int one = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

size_t ReadUpTo(int fd, void* buf, size_t n, Deadline deadline) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitFor(fd, POLLIN, deadline, "waiting for the server");
        } else if (errno == ECONNRESET) {
            throw ClientError(ErrorKind::Closed, "the server reset the connection");
        } else if (errno != EINTR) {
            throw ClientError(ErrorKind::Io, "reading from the server failed: " + SysText(errno));
        }
    }
    return got;
}

void ReadExact(int fd, void* buf, size_t n, Deadline deadline) {
    size_t got = ReadUpTo(fd, buf, n, deadline);
    if (got < n) {
        throw ClientError(ErrorKind::Closed,
                          got == 0 ? "the server closed the connection"
                                   : "the server closed the connection in the middle of an answer");
    }
}

uint32_t ReadWord(int fd, Deadline deadline) {
    uint8_t w[4];
    ReadExact(fd, w, 4, deadline);
    return GetBe32(w);
}

void WriteAll(int fd, std::span<const std::span<const uint8_t>> pieces, Deadline deadline) {
    std::vector<iovec> iov;
    iov.reserve(pieces.size());
    for (auto piece : pieces)
        if (!piece.empty())
            iov.push_back({const_cast<uint8_t*>(piece.data()), piece.size()});
    size_t first = 0;
    while (first < iov.size()) {
        msghdr msg{};
        msg.msg_iov = iov.data() + first;
        msg.msg_iovlen = std::min<size_t>(iov.size() - first, kMaxIov);
        ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WaitFor(fd, POLLOUT, deadline, "sending to the server");
                continue;
            }
            if (errno == EPIPE || errno == ECONNRESET)
                throw ClientError(ErrorKind::Closed, "the server closed the connection");
            throw ClientError(ErrorKind::Io, "sending to the server failed: " + SysText(errno));
        }
        auto done = static_cast<size_t>(r);
        while (first < iov.size() && done >= iov[first].iov_len) {
            done -= iov[first].iov_len;
            ++first;
        }
        if (done > 0) {
            iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
}

void WriteAll(int fd, std::span<const uint8_t> bytes, Deadline deadline) {
    std::span<const uint8_t> one[1] = {bytes};
    WriteAll(fd, std::span<const std::span<const uint8_t>>(one), deadline);
}

int64_t WallClockMicros() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

}  // namespace clientlib
