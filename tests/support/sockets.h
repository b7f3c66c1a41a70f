// Raw client sockets for system tests, with bounded reads and writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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

} // namespace testsupport
