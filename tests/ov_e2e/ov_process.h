// Real processes for the image-service end-to-end tests and benchmarks: a
// plughost serving ov_handler on an ephemeral loopback port with an
// environment of the caller's choosing (its children inherit it), programs
// run to completion with captured output, and bounded waits on processes,
// files and /proc.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ovtest {

// Changes to this process's environment for a child: variables set, and
// variables removed.
struct Env {
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
};

// A started program. Its standard output is a pipe (out) when captured.
struct Process {
    pid_t pid = -1;
    int out = -1;
    int pidfd = -1; // readable once it has ended
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    ~Process(); // kills (SIGKILL) and reaps a process still running
};

// Starts argv[0] (a path) with the environment changed by env. stdin is
// /dev/null; stderr goes to stderrFile when named, else is inherited;
// childFd3, when given, becomes the child's descriptor 3.
// pid -1 on failure, the reason in *error.
Process start(const std::vector<std::string> &argv, const Env &env, bool captureStdout,
              const std::string &stderrFile, std::string *error, int childFd3 = -1);

// The full path of a program found in PATH; empty when there is none.
std::string findInPath(const std::string &program);

// Waits up to timeoutMs for the process to end and reaps it. Its wait status,
// or -1 when it did not end in time.
int waitExit(Process &p, int timeoutMs);

// Sends a signal, only to a pid greater than 0. False when not sent.
bool signalProcess(pid_t pid, int sig);

// A program run to its end: exit code (or 128 + signal; -1 when it had to be
// killed after the time limit or could not start) and its output.
struct RunResult {
    int code = -1;
    std::string out, err;
};
RunResult run(const std::vector<std::string> &argv, const Env &env, int timeoutMs);

// Reads from fd until text has appeared in *got, the stream ended or
// timeoutMs passed. Whether it appeared.
bool readUntil(int fd, const std::string &text, std::string *got, int timeoutMs);

// Polls cond every few milliseconds until it holds or timeoutMs passed.
bool waitFor(const std::function<bool()> &cond, int timeoutMs);

// Children of parent with this command name; zombies only when asked.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm, bool withZombies = false);
// True once /proc has no entry for pid (it has ended and been reaped).
bool reaped(pid_t pid);
// Number of descriptors a process has open; -1 when unreadable.
int descriptorsOf(pid_t pid);
int openDescriptors(); // of this process

// Whole file, or empty when it cannot be read.
std::string readFile(const std::string &path);

// Wall clock in microseconds.
long long wallMicros();

// plughost serving ov_handler on 127.0.0.1 with an ephemeral port.
class Server {
public:
    // Starts it and waits (bounded) for its "ready" line. On failure port()
    // is 0 and error() says why.
    Server(const std::string &plughost, const std::string &moduleDir, const Env &env,
           const std::string &logFile, const std::vector<std::string> &extra = {});
    ~Server(); // SIGTERM, bounded wait, SIGKILL as a last resort
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    pid_t pid() const { return proc_.pid; }
    const std::string &error() const { return error_; }
    int stop(); // its wait status; -1 when it had to be killed

private:
    Process proc_;
    int port_ = 0;
    std::string error_;
};

// A fresh directory under /tmp, removed with its contents on destruction.
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

} // namespace ovtest
