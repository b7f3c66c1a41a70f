// The baseline: a minimal single-threaded epoll server with the same
// exchange (12-byte request, 28-byte answer). Prints "listening on ADDR"
// and "ready"; stops on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

constexpr size_t kRequest = 12, kAnswer = 28;

struct Conn {
    std::string in;
};

void serveReadable(int ep, int fd, Conn &c)
{
    char buf[65536];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        c.in.clear();
        return;
    }
    c.in.append(buf, static_cast<size_t>(n));
    std::string out;
    size_t used = 0;
    while (c.in.size() - used >= kRequest) {
        char answer[kAnswer] = {};
        std::memcpy(answer, c.in.data() + used, kRequest);
        out.append(answer, kAnswer);
        used += kRequest;
    }
    c.in.erase(0, used);
    // Answers are tiny; a full socket buffer is not expected in this exchange.
    if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN)
        ::close(fd);
}

} // namespace

int main()
{
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 || ::listen(lfd, SOMAXCONN) != 0) {
        std::perror("baseline: listen");
        return 1;
    }
    socklen_t len = sizeof in;
    ::getsockname(lfd, reinterpret_cast<sockaddr *>(&in), &len);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int sfd = ::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    ev.data.fd = sfd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, sfd, &ev);
    std::printf("listening on 127.0.0.1:%d (baseline)\nready\n", ntohs(in.sin_port));
    std::fflush(stdout);

    std::unordered_map<int, Conn> conns;
    epoll_event events[256];
    for (;;) {
        const int n = ::epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == sfd)
                return 0;
            if (fd == lfd) {
                int c;
                while ((c = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    const int on = 1;
                    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                    conns[c] = Conn{};
                }
                continue;
            }
            serveReadable(ep, fd, conns[fd]);
        }
    }
}
