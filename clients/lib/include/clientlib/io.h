// Connections and blocking I/O with deadlines.
//
// A Socket's descriptor is non-blocking; every helper waits with poll() for
// at most the time left until its deadline. A default Deadline waits forever.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "clientlib/address.h"

namespace clientlib {

using Clock = std::chrono::steady_clock;

struct Deadline {
    std::optional<Clock::time_point> at;  // none: no limit

    static Deadline Never() { return {}; }
    static Deadline After(std::chrono::milliseconds d) { return {Clock::now() + d}; }
    // Milliseconds left for poll(): -1 without a limit, 0 once passed.
    int PollTimeout() const;
};

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket();
    Socket(Socket&& other) noexcept : fd_(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Close();

private:
    int fd_ = -1;
};

// Connects to the address, trying every resolved address in turn, within the
// timeout. TCP connections get TCP_NODELAY. Throws ClientError (Refused,
// ConnectFailed).
Socket Connect(const Address& address, std::chrono::milliseconds timeout);

// Reads until n bytes have arrived or the peer closed; returns the count read
// (less than n only at end of stream). Throws Timeout or Io.
size_t ReadUpTo(int fd, void* buf, size_t n, Deadline deadline);

// Reads exactly n bytes. Throws Closed at end of stream, Timeout or Io.
void ReadExact(int fd, void* buf, size_t n, Deadline deadline);

// Reads a 32-bit big-endian word. Throws as ReadExact.
uint32_t ReadWord(int fd, Deadline deadline);

// Writes every byte of every piece, in order, without raising SIGPIPE.
// Throws Timeout or Io.
void WriteAll(int fd, std::span<const std::span<const uint8_t>> pieces, Deadline deadline);
void WriteAll(int fd, std::span<const uint8_t> bytes, Deadline deadline);

// The wall clock (the clock the server stamps its answers with), in microseconds.
int64_t WallClockMicros();

}  // namespace clientlib
