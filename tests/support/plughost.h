// plughost as a child of a test: started with its standard output captured,
// ready once it has printed "listening on ADDR (NAME)" for each listener and
// then "ready"; stopped with a signal and a bounded wait.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace testsupport {

// What plughost printed on its standard output while starting.
struct Startup {
    bool ready = false;
    std::string text;
    std::map<std::string, std::string> addresses; // plug-in name -> address
};

// Reads fd until a whole "ready" line, the end of the stream or the bound.
Startup readStartup(int fd, std::chrono::milliseconds bound = kWait);

class Plughost {
public:
    Plughost() = default;
    Plughost(const Plughost &) = delete;
    Plughost &operator=(const Plughost &) = delete;
    // A process still running is killed (SIGKILL) and reaped.

    // Starts options.argv (standard output captured, whatever options say)
    // and waits for "ready". False when it could not start (why in *error)
    // or did not report ready (what it printed is in startup().text); the
    // process is then left as it is.
    bool start(SpawnOptions options, std::string *error);
    // Starts argv with standard input inherited and standard error kept in a
    // file of its own (errors()). One that does not report ready is waited
    // for (bounded), so that status() says how it ended.
    bool start(const std::vector<std::string> &argv);
    // What it wrote to standard error, after the start above.
    std::string errors() const;
    // Sends sig unless it has ended, then waits (bounded) for the exit.
    // The wait status, -1 on timeout.
    int stop(int sig, std::chrono::milliseconds bound = kWait);
    // Waits (bounded) for the exit without signalling; the wait status, -1
    // on timeout (or when it never started).
    int waitExit(std::chrono::milliseconds bound = kWait);
    // SIGKILL and reap: the last resort after a stop that timed out.
    void kill();
    bool running() const { return testsupport::running(proc_); }

    pid_t pid() const { return pid_; }         // kept after the exit; 0 before the start
    int stderrFd() const { return proc_.err; } // with SpawnOptions::stderrToPipe, else -1
    int status() const { return status_; }     // wait status once reaped, else -1
    const Startup &startup() const { return startup_; }
    // The address a plug-in is served on, from its "listening on" line.
    std::string address(const std::string &plugin) const;

private:
    Process proc_;
    pid_t pid_ = 0;
    int status_ = -1;
    Startup startup_;
    std::unique_ptr<TempDir> dir_; // holds the standard error file
};

// plughost serving one plug-in on 127.0.0.1 with an ephemeral port.
class LoopbackServer {
public:
    // Starts it and waits (bounded) for its "ready" line. On failure port()
    // is 0 and error() says why.
    LoopbackServer(const std::string &plughost, const std::string &moduleDir, const std::string &plugin, const Env &env,
                   const std::string &logFile, const std::vector<std::string> &extra = {});
    ~LoopbackServer(); // stop()
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // -1 once it has been reaped (or when it never started).
    pid_t pid() const { return host_.pid() > 0 && host_.status() < 0 ? host_.pid() : -1; }
    const std::string &error() const { return error_; }
    // SIGTERM, bounded wait, SIGKILL as a last resort. Its wait status; -1
    // when it had to be killed or was stopped already.
    int stop();

private:
    Plughost host_;
    int port_ = 0;
    std::string error_;
};

} // namespace testsupport
