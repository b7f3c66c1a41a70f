#include "poller.h"

#include <cerrno>

namespace plughost {

bool Poller::open()
{
    ep_.reset(::epoll_create1(EPOLL_CLOEXEC));
    return static_cast<bool>(ep_);
}

static bool control(int ep, int op, int fd, std::uint32_t events, std::uint64_t token)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    return ::epoll_ctl(ep, op, fd, &ev) == 0;
}

bool Poller::add(int fd, std::uint32_t events, std::uint64_t token)
{
    return control(ep_.get(), EPOLL_CTL_ADD, fd, events, token);
}

bool Poller::modify(int fd, std::uint32_t events, std::uint64_t token)
{
    return control(ep_.get(), EPOLL_CTL_MOD, fd, events, token);
}

void Poller::remove(int fd)
{
    ::epoll_ctl(ep_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

int Poller::wait(std::span<epoll_event> out, int timeoutMs)
{
    const int n = ::epoll_wait(ep_.get(), out.data(), static_cast<int>(out.size()), timeoutMs);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    return n;
}

} // namespace plughost
