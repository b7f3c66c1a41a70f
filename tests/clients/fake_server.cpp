#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace clients_test {
namespace {

using testsupport::kWaitMs;

int BindLoopback(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, kWaitMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

}  // namespace

void Conn::Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            Fail(std::string("send failed: ") + std::strerror(errno));
            return;
        }
        done += static_cast<size_t>(r);
    }
}

void Conn::Send(const std::string& bytes) { Send(std::vector<uint8_t>(bytes.begin(), bytes.end())); }

void Conn::SendWord(uint32_t word) { Send(Be32(word)); }

void Conn::SendSplit(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieces) {
    size_t at = 0;
    for (size_t n : pieces) {
        if (at >= bytes.size()) break;
        n = std::min(n, bytes.size() - at);
        Send(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                  bytes.begin() + static_cast<long>(at + n)));
        at += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (at < bytes.size()) Send(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.end()));
}

std::optional<std::vector<uint8_t>> Conn::Recv(size_t n) {
    std::vector<uint8_t> out(n);
    size_t got = 0;
    while (got < n) {
        if (!WaitReadable(fd_)) {
            Fail("timed out waiting for " + std::to_string(n) + " bytes from the client");
            return std::nullopt;
        }
        ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            Fail("the client closed after " + std::to_string(got) + " of " + std::to_string(n) + " bytes");
            return std::nullopt;
        }
        got += static_cast<size_t>(r);
    }
    return out;
}

std::optional<uint32_t> Conn::RecvWord() {
    auto w = Recv(4);
    if (!w) return std::nullopt;
    return (uint32_t{(*w)[0]} << 24) | (uint32_t{(*w)[1]} << 16) | (uint32_t{(*w)[2]} << 8) | (*w)[3];
}

std::optional<std::string> Conn::RecvUntilNul() {
    std::string text;
    for (;;) {
        auto b = Recv(1);
        if (!b) return std::nullopt;
        if ((*b)[0] == 0) return text;
        text += static_cast<char>((*b)[0]);
    }
}

bool Conn::WaitEof() {
    for (;;) {
        if (!WaitReadable(fd_)) return false;
        char buf[256];
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r == 0) return true;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno == ECONNRESET;
    }
}

void Conn::Fail(const std::string& what) { server_.AddFailure(what); }

FakeServer::FakeServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    listen_fd_ = BindLoopback(port_);
    if (::listen(listen_fd_, 16) != 0) throw std::runtime_error("listen failed");
    thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
    Join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

void FakeServer::Run() {
    for (auto& script : scripts_) {
        if (!WaitReadable(listen_fd_)) {
            AddFailure("no client connected");
            return;
        }
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            AddFailure(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard<std::mutex> lock(mu_);
            ++accepted_;
        }
        Conn conn(fd, *this);
        script(conn);
        ::close(fd);
    }
}

std::vector<std::string> FakeServer::Join() {
    if (!joined_ && thread_.joinable()) thread_.join();
    joined_ = true;
    std::lock_guard<std::mutex> lock(mu_);
    return failures_;
}

int FakeServer::accepted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return accepted_;
}

void FakeServer::AddFailure(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    failures_.push_back(what);
}

RefusingPort::RefusingPort() { fd_ = BindLoopback(port_); }
RefusingPort::~RefusingPort() { ::close(fd_); }

std::vector<uint8_t> Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace clients_test
