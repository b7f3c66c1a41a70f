// Runs the real plughost as a child of the test and talks to it over real
// sockets. Every wait is bounded (kWait) so a fault fails instead of hanging.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/plughost.h"

namespace hosttest {

using testsupport::kWait;
using testsupport::readFile;
using testsupport::TempDir;

class PlugHost {
public:
    // Starts plughost with args and waits for its "ready" line. On failure
    // returns false; the exit status and stderr are then in status()/errors().
    bool start(const std::vector<std::string> &args);
    // Sends sig and waits for the exit; returns the exit status (-1: timeout).
    int stop(int sig);
    // Waits for the exit without signalling (for start-up failures).
    int waitExit();

    pid_t pid() const { return host_.pid(); }
    int status() const; // exit code, 128 + signal; -1 while running
    std::string errors() const; // what plughost wrote to stderr
    std::string address(const std::string &plugin) const { return host_.address(plugin); }
    int openDescriptors() const; // entries of /proc/PID/fd

private:
    TempDir dir_;
    testsupport::Plughost host_;
};

// One blocking client connection with bounded waits.
class Conn {
public:
    explicit Conn(const std::string &address);
    ~Conn();
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const std::string &data);
    std::optional<std::string> line();                 // without the '\n'
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

} // namespace hosttest
