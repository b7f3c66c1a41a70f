// A scripted server on 127.0.0.1 with an ephemeral port, for client tests.
// Each accepted connection runs the next script in the server's own thread;
// the script sends exact bytes and checks what it receives. Problems found by
// a script are collected and checked by the test after Join().
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace clients_test {

class FakeServer;

class Conn {
public:
    Conn(int fd, FakeServer& server) : fd_(fd), server_(server) {}
    void Send(const std::vector<uint8_t>& bytes);
    void Send(const std::string& bytes);
    void SendWord(uint32_t word);
    // Sends the bytes in the given piece sizes (the rest in one piece), pausing
    // briefly between pieces so the client sees them in separate reads.
    void SendSplit(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieces);
    // Receives exactly n bytes (bounded wait); records a failure and returns nothing otherwise.
    std::optional<std::vector<uint8_t>> Recv(size_t n);
    std::optional<uint32_t> RecvWord();
    // Receives up to and including a NUL; returns the text before it.
    std::optional<std::string> RecvUntilNul();
    // True once the client has closed its side (bounded wait).
    bool WaitEof();
    void Fail(const std::string& what);
    int fd() const { return fd_; }

private:
    int fd_;
    FakeServer& server_;
};

class FakeServer {
public:
    using Script = std::function<void(Conn&)>;
    explicit FakeServer(std::vector<Script> scripts);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Waits for every script to end; returns the problems they recorded.
    std::vector<std::string> Join();
    // Connections accepted so far.
    int accepted() const;

    void AddFailure(const std::string& what);

private:
    void Run();

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::vector<Script> scripts_;
    std::thread thread_;
    mutable std::mutex mu_;
    std::vector<std::string> failures_;
    int accepted_ = 0;
    bool joined_ = false;
};

// A port on 127.0.0.1 that is bound but not listening: connections are refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

std::vector<uint8_t> Be32(uint32_t v);
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts);

// A fresh directory, removed with its contents by the destructor.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("clients-test") {}
};

}  // namespace clients_test
