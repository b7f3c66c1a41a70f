// Runs the real dorvel binary as a child process and reads what it writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/files.h"
#include "support/proc.h"
#include "support/process.h"

namespace dorvel_test {

using testsupport::kWaitMs;
using testsupport::openDescriptors;
using testsupport::TempDir;
using testsupport::writeFile;

struct Launch {
    std::vector<std::string> args; // arguments after argv[0]
    std::string argv0 = DORVEL_PATH;
    std::string cwd;                // empty: inherit
    bool noQueuedSignals = false;   // RLIMIT_SIGPENDING 0 in the child
    bool asNobody = false;          // drop to uid/gid 65534 before exec
    bool nonBlockingStdout = false; // both pipe ends O_NONBLOCK
    bool ignoreSigpipe = false;     // SIGPIPE ignored in the child
    bool closeStdoutReader = false; // no reader on the stdout pipe
    std::string stdoutFile;         // stdout to this file instead of a pipe
    bool stdoutTerminal = false;    // stdout a pseudo-terminal in raw mode
    bool fullStderr = false;        // stderr a pipe already full when dorvel starts
    std::string preload;            // a library preloaded into dorvel
};

struct Exit {
    bool exited = false; // false: still running at the deadline, or killed by a signal
    int status = -1;     // exit status when exited
    int signal = 0;      // terminating signal, if any
};

class Dorvel {
public:
    explicit Dorvel(const Launch &launch);
    ~Dorvel();
    Dorvel(const Dorvel &) = delete;
    Dorvel &operator=(const Dorvel &) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; } // kept after the exit
    int StdoutFD() const { return out_; }

    // Next complete change record's content; nullopt on end of stream or timeout.
    std::optional<std::string> NextRecord(int timeoutMs = kWaitMs);
    // Reads standard output to its end. Returns false on timeout.
    bool ReadToEnd(int timeoutMs = kWaitMs);
    // Bytes read from standard output and not yet taken as records.
    const std::string &Pending() const { return outBuf_; }
    const std::string &Stderr() const { return errBuf_; }

    // Waits until the process sleeps waiting for a notification with nothing
    // pending. Returns false if it exits or the deadline passes.
    bool WaitIdle(int timeoutMs = kWaitMs);
    // Waits until the process sleeps in a write to the descriptor or in a
    // wait for room. Returns false if it exits or the deadline passes.
    bool WaitBlockedWriting(int descriptor = 1, int timeoutMs = kWaitMs);
    // Bytes that filled standard error before the start (Launch::fullStderr).
    const std::string &StderrFiller() const { return filler_; }
    // Sends a signal; the pid is checked right here.
    bool Signal(int signal);
    // Waits for the process to end, reading its output meanwhile unless
    // readOutput is false (then both streams are left as they are).
    Exit WaitExit(int timeoutMs = kWaitMs, bool readOutput = true);
    // Targets of the process's open descriptors (readlink of /proc/<pid>/fd/*).
    std::vector<std::string> OpenFiles() const;

private:
    bool Pump(int timeoutMs); // one poll round; false once both streams ended
    testsupport::Process proc_;
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    Exit exit_;
    std::string outBuf_;
    std::string errBuf_;
    std::string filler_;
};

// The usage text for a given program name.
std::string Usage(const std::string &name);
} // namespace dorvel_test
