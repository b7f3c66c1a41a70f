// Runs the real dorvel binary as a child process and reads what it writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace dorvel_test {

// Generous upper bound for every wait.
constexpr int WaitMs = 20000;

struct Launch {
    std::vector<std::string> args;          // arguments after argv[0]
    std::string argv0 = DORVEL_PATH;
    std::string cwd;                        // empty: inherit
    bool noQueuedSignals = false;           // RLIMIT_SIGPENDING 0 in the child
    bool asNobody = false;                  // drop to uid/gid 65534 before exec
    bool nonBlockingStdout = false;         // both pipe ends O_NONBLOCK
    bool ignoreSigpipe = false;             // SIGPIPE ignored in the child
    bool closeStdoutReader = false;         // no reader on the stdout pipe
    std::string stdoutFile;                 // stdout to this file instead of a pipe
    bool stdoutTerminal = false;            // stdout a pseudo-terminal in raw mode
    bool fullStderr = false;                // stderr a pipe already full when dorvel starts
    std::string preload;                    // a library preloaded into dorvel
};

struct Exit {
    bool exited = false;   // false: still running at the deadline, or killed by a signal
    int status = -1;       // exit status when exited
    int signal = 0;        // terminating signal, if any
};

class Dorvel {
public:
    explicit Dorvel(const Launch &launch);
    ~Dorvel();
    Dorvel(const Dorvel &) = delete;
    Dorvel &operator=(const Dorvel &) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    int StdoutFD() const { return out_; }

    // Next complete change record's content; nullopt on end of stream or timeout.
    std::optional<std::string> NextRecord(int timeoutMs = WaitMs);
    // Reads standard output to its end. Returns false on timeout.
    bool ReadToEnd(int timeoutMs = WaitMs);
    // Bytes read from standard output and not yet taken as records.
    const std::string &Pending() const { return outBuf_; }
    const std::string &Stderr() const { return errBuf_; }

    // Waits until the process sleeps waiting for a notification with nothing
    // pending. Returns false if it exits or the deadline passes.
    bool WaitIdle(int timeoutMs = WaitMs);
    // Waits until the process sleeps in a write to the descriptor or in a
    // wait for room. Returns false if it exits or the deadline passes.
    bool WaitBlockedWriting(int descriptor = 1, int timeoutMs = WaitMs);
    // Bytes that filled standard error before the start (Launch::fullStderr).
    const std::string &StderrFiller() const { return filler_; }
    // Sends a signal; the pid is checked right here.
    bool Signal(int signal);
    // Waits for the process to end, reading its output meanwhile unless
    // readOutput is false (then both streams are left as they are).
    Exit WaitExit(int timeoutMs = WaitMs, bool readOutput = true);
    // Targets of the process's open descriptors (readlink of /proc/<pid>/fd/*).
    std::vector<std::string> OpenFiles() const;

private:
    bool Exited();
    bool Pump(int timeoutMs);   // one poll round; false once both streams ended
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    Exit exit_;
    std::string outBuf_;
    std::string errBuf_;
    std::string filler_;
};

// The usage text for a given program name.
std::string Usage(const std::string &name);
// Number of descriptors open in this process.
int CountOpenFDs();
// Writes content to a file (create or truncate). Returns false on failure.
bool WriteFile(const std::string &path, const std::string &content);
// A fresh directory from mkdtemp, removed recursively on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace dorvel_test
