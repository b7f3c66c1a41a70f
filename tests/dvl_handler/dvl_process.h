// Real processes for the file-follow end-to-end tests and benchmark: a
// plughost serving dvl_handler on an ephemeral loopback port, other programs
// with captured output, bounded waits on them, and the watchers found in /proc.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace dvltest {

// A started program. Its standard output is a pipe (out) when captured; its
// standard error goes to a file when one was named.
struct Process {
    pid_t pid = -1;
    int out = -1;    // read end of its standard output, or -1
    int pidfd = -1;  // readable once it has ended
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    ~Process(); // kills (SIGKILL) and reaps a process still running
};

// Starts argv[0] with the arguments. Returns a Process with pid -1 on failure
// (the reason in *error).
Process start(const std::vector<std::string> &argv, bool captureStdout, const std::string &stderrFile,
              std::string *error);

// Waits up to timeoutMs for the process to end and reaps it. Returns its wait
// status, or -1 when it did not end in time.
int waitExit(Process &p, int timeoutMs);

// Sends a signal; only to a pid greater than 0.
void signalProcess(pid_t pid, int sig);

// Reads from fd until `text` has appeared in *got or timeoutMs passed (or the
// stream ended). Returns whether it appeared.
bool readUntil(int fd, const std::string &text, std::string *got, int timeoutMs);
// Reads until end of stream or timeoutMs. Returns whether the end was seen.
bool readToEnd(int fd, std::string *got, int timeoutMs);

// Waits up to timeoutMs for an arbitrary process (not necessarily a child) to
// end. Returns true when it ended (it may still be a zombie of its parent).
bool waitGone(pid_t pid, int timeoutMs);
// True when /proc shows no running process with this pid (absent, or a zombie).
bool goneInProc(pid_t pid);

// Live (non-zombie) children of `parent` whose command name is `comm`.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm);

// utime + stime of a process, in clock ticks; -1 when it cannot be read.
long long cpuTicks(pid_t pid);

// A plughost serving dvl_handler on 127.0.0.1 with an ephemeral port.
class Server {
public:
    // Starts it and waits (bounded) for its "ready" line. On failure port()
    // is 0 and error() says why.
    Server(const std::string &plughost, const std::string &moduleDir, const std::string &logFile,
           const std::vector<std::string> &extra = {});
    ~Server(); // SIGTERM, bounded wait, SIGKILL as a last resort
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    pid_t pid() const { return proc_.pid; }
    const std::string &error() const { return error_; }
    // Stops it now; returns its wait status (-1 when it had to be killed).
    int stop();

private:
    Process proc_;
    int port_ = 0;
    std::string error_;
};

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Replaces a file's content in place (truncate, then one write sequence).
// Returns false on failure.
bool writeFile(const std::string &path, const std::string &content);

// Number of open descriptors of this process.
int openDescriptors();

} // namespace dvltest
