// Raw client sockets for system tests, with bounded reads and writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace testsupport {

// A stream connection to "unix:PATH", "[V6]:PORT" or "V4:PORT", made with a
// blocking connect. rcvbuf > 0 sets SO_RCVBUF before connecting; with
// nonBlocking the socket is non-blocking afterwards. -1 on failure.
int connectTo(const std::string &address, int rcvbuf = 0, bool nonBlocking = true);

// Reads exactly n bytes, or until the stream ends or fails. Returns the
// bytes read; *end gets 0 (all read), 1 (end of stream), 2 (error, e.g.
// ECONNRESET) or 3 (timeout).
std::string readBytes(int fd, std::size_t n, int *end, std::chrono::milliseconds bound = kWait);
// Reads until end of stream or error; *end as above (1, 2 or 3).
std::string readToEnd(int fd, int *end, std::chrono::milliseconds bound = kWait);
// Reads one big-endian word; -1 when the stream ended or failed first,
// -2 on timeout.
int64_t readWord(int fd, std::chrono::milliseconds bound = kWait);
// Sends all bytes (never raising SIGPIPE); false on error or timeout.
bool sendAll(int fd, const void *data, std::size_t n, std::chrono::milliseconds bound = kWait);

std::string be32(uint32_t v);

// A client that sends and reads at the same time, as a streaming program
// does: sends `count` pieces, piece i being pieces[i % pieces.size()], as
// fast as the socket takes them, while reading everything that comes back
// into `received`, until all pieces are sent and `expect` bytes have come,
// the stream ends or fails, or the bound passes. `tick` (optional) runs after
// every wait with the pieces sent so far. fd may be blocking or not; every
// send and receive is non-blocking. With readBack false nothing is read (a
// client that never reads its answers): it returns once all is sent.
struct StreamProgress {
    std::size_t piecesSent = 0;
    std::string received;
    bool done = false; // everything sent and expected received
};
StreamProgress streamPieces(int fd, const std::vector<std::string_view> &pieces, std::size_t count, std::size_t expect,
                            const std::function<void(const StreamProgress &)> &tick = {},
                            std::chrono::milliseconds bound = kWait, bool readBack = true);

// One blocking client connection read by lines or byte counts, every wait
// bounded by kWait.
class Conn {
public:
    explicit Conn(const std::string &address);
    ~Conn();
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const std::string &data);
    std::optional<std::string> line(); // without the '\n'
    std::optional<std::string> bytes(std::size_t n);
    // Reads until the peer closes; returns what came, nullopt on timeout.
    std::optional<std::string> untilClosed();
    void shutdownWrite();

private:
    bool fill(); // waits for more bytes; false on close, error or timeout
    int fd_ = -1;
    std::string buf_;
    bool closed_ = false;
};

} // namespace testsupport
