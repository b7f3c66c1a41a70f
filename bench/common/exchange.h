// Closed-loop load shared by the request/answer benchmarks.
#pragma once

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// Each connection keeps one request outstanding until `total` answers of
// `answerSize` bytes are in (or 60 s passed). Returns exchanges per second.
// The connections stay open; the caller closes them.
inline double exchangesPerSecond(const std::vector<int> &fds, const void *request, std::size_t requestSize,
                                 std::size_t answerSize, int total)
{
    using Clock = std::chrono::steady_clock;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        return 0;
    std::vector<std::size_t> pending(fds.size(), 0);
    for (std::size_t i = 0; i < fds.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    int sent = 0, done = 0;
    const auto t0 = Clock::now();
    for (int fd : fds) {
        if (sent == total)
            break;
        ::send(fd, request, requestSize, MSG_NOSIGNAL);
        ++sent;
    }
    epoll_event events[64];
    const auto deadline = t0 + std::chrono::seconds(60);
    while (done < sent && Clock::now() < deadline) {
        const int n = ::epoll_wait(ep, events, 64, 1000);
        for (int i = 0; i < n; ++i) {
            const uint32_t c = events[i].data.u32;
            unsigned char buf[4096];
            const ssize_t got = ::recv(fds[c], buf, sizeof buf, 0);
            if (got <= 0)
                continue;
            pending[c] += static_cast<std::size_t>(got);
            while (pending[c] >= answerSize) {
                pending[c] -= answerSize;
                ++done;
                if (sent < total) {
                    ::send(fds[c], request, requestSize, MSG_NOSIGNAL);
                    ++sent;
                }
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(ep);
    return done / seconds;
}

} // namespace bench
