// Child programs for system tests: started with pipes, a changed environment
// and limits, waited for with a bound, and signalled only with a pid > 0.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// The bound of every wait: a fault fails instead of hanging.
inline constexpr std::chrono::seconds kWait{20};
inline constexpr int kWaitMs = 20000;

// Changes to this process's environment for a child: variables set (or
// replaced), and variables removed.
struct Env {
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
};

// How to start a program.
struct SpawnOptions {
    std::vector<std::string> argv; // argv[0] is a path unless program is given
    std::string program;           // the file run, when argv[0] is only its name
    Env env;
    bool stdinPipe = false;        // a pipe whose write end is Process::in
    std::string stdinFile;         // else (no pipe) this file is its standard input,
    bool stdinFromNull = true;     // else /dev/null, else it is inherited
    bool captureStdout = false;    // Process::out reads its standard output
    int stdoutFd = -1;             // else this descriptor becomes its standard output
    std::string stderrFile;        // appended to when named, else inherited
    bool stderrToPipe = false;     // a pipe whose read end is Process::err
    int stderrFd = -1;             // else this descriptor becomes its standard error
    int childFd3 = -1;             // becomes the child's descriptor 3
    bool childNonBlocking = false; // the child's ends of the pipes made here carry O_NONBLOCK
    // With any of these the child is forked: only descriptors 0-2 (and 3 when
    // given) reach it, RLIMIT_NOFILE (soft and hard) is set when > 0, no
    // signal can be queued for it (RLIMIT_SIGPENDING 0), SIGPIPE is ignored,
    // it runs as nobody (when the test runs as root), in directory cwd.
    bool closeOtherDescriptors = false;
    long fileLimit = 0;
    bool noQueuedSignals = false;
    bool ignoreSigpipe = false;
    bool asNobody = false;
    std::string cwd;
};

// A started program; killed (SIGKILL) and reaped on destruction while running.
struct Process {
    pid_t pid = -1;
    int in = -1;    // write end of its standard input, or -1
    int out = -1;   // read end of its standard output, or -1
    int err = -1;   // read end of its standard error (stderrToPipe), or -1
    int pidfd = -1; // readable once it has ended
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    ~Process();
};

// pid -1 on failure, the reason in *error.
Process start(const SpawnOptions &options, std::string *error);
Process start(const std::vector<std::string> &argv, const Env &env, bool captureStdout, const std::string &stderrFile,
              std::string *error, int childFd3 = -1);
Process start(const std::vector<std::string> &argv, bool captureStdout, const std::string &stderrFile,
              std::string *error);

// Waits up to timeoutMs for the process to end and reaps it (pid becomes -1).
// Its wait status, or -1 when it did not end in time.
int waitExit(Process &p, int timeoutMs);
// True while the process has not ended.
bool running(const Process &p);
// Sends a signal, only to a pid greater than 0. False when not sent.
bool signalProcess(pid_t pid, int sig);
// SIGTERM, a bounded wait, SIGKILL as a last resort. The wait status, -1 when
// it had to be killed (or was not running).
int terminate(Process &p, int timeoutMs = kWaitMs);
// Exit code of a wait status, 128 + signal for a killed process.
int exitCode(int status);

// A program run to its end: exit code (or 128 + signal; -1 when it had to be
// killed after the time limit or could not start) and its output.
struct RunResult {
    int code = -1;
    std::string out, err;
};
RunResult run(const std::vector<std::string> &argv, const Env &env, int timeoutMs);
RunResult run(SpawnOptions options, int timeoutMs); // output pipes replace what options say

// Raises this process's soft descriptor limit to its hard limit (children
// inherit it); returns the new soft limit, -1 when it cannot be read.
long raiseFileLimit();

// The full path of a program found in PATH; empty when there is none.
std::string findInPath(const std::string &program);

// poll() for one descriptor until the deadline; EINTR is repeated.
bool waitFd(int fd, short events, std::chrono::steady_clock::time_point deadline);
// Milliseconds left until the deadline, 0 once it has passed.
int msLeft(std::chrono::steady_clock::time_point deadline);

// Reads from fd until text has appeared in *got, the stream ended or
// timeoutMs passed. Whether it appeared.
bool readUntil(int fd, const std::string &text, std::string *got, int timeoutMs);
// Reads until end of stream or timeoutMs. Whether the end was seen.
bool readToEnd(int fd, std::string *got, int timeoutMs);

// Polls cond every interval until it holds or timeoutMs passed.
bool waitFor(const std::function<bool()> &cond, int timeoutMs,
             std::chrono::milliseconds interval = std::chrono::milliseconds(2));

} // namespace testsupport
