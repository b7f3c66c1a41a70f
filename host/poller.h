// The only place that talks to epoll. Every registration carries a 64-bit
// token that the event loop decodes; the poller knows nothing about it.
#pragma once

#include "fd.h"

#include <sys/epoll.h>

#include <cstdint>
#include <span>

namespace plughost {

class Poller {
public:
    // Returns false (errno set) when the epoll instance cannot be created.
    bool open();

    bool add(int fd, std::uint32_t events, std::uint64_t token);
    bool modify(int fd, std::uint32_t events, std::uint64_t token);
    void remove(int fd);

    // Waits at most timeoutMs (-1: no limit). Returns the number of events
    // stored in out; 0 on timeout or interruption, -1 on failure.
    int wait(std::span<epoll_event> out, int timeoutMs);

private:
    Fd ep_;
};

} // namespace plughost
