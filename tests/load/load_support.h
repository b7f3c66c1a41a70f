// Real processes for the fault and load tests: plughost started with a chosen
// descriptor limit and environment, the figures /proc gives about it, and raw
// loopback sockets. Every wait is bounded (kWait) so a fault fails instead of
// hanging.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace loadtest {

inline constexpr std::chrono::seconds kWait{20};

// Counts are scaled down under the sanitizers, where every process is slower.
#ifdef LOAD_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// A fresh directory under TMPDIR (or /tmp), removed with its contents.
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

std::string readFile(const std::string &path);
bool writeFile(const std::string &path, const std::string &content);
// Writes content over the start of an existing file in one call, without
// truncating it first: a reader never finds the file shorter than before.
bool overwriteFile(const std::string &path, const std::string &content);

struct HostOptions {
    std::vector<std::string> args;                 // after the binary: --listen ... etc.
    std::map<std::string, std::string> env;        // added to (or replacing in) the environment
    long fileLimit = 0;                            // RLIMIT_NOFILE soft and hard; 0: inherited
    // PATH leads first to a stand-in "unclutter" that just waits for the end
    // of its input: without a display the real one exits at once and its
    // restarts would make the host's descriptor count move.
    bool quietUnclutter = true;
};

// plughost as a child of the test. Its standard error (the log) goes to a
// file in its own temporary directory.
class Host {
public:
    Host() = default;
    ~Host(); // SIGKILL if still running, then reaped
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Starts it and waits for "ready"; false on failure (why in error()).
    bool start(const HostOptions &options);
    // SIGTERM and a bounded wait; returns the wait status, -1 on timeout.
    int stop();
    // True while the process has not ended.
    bool running() const;

    pid_t pid() const { return pid_; }
    const std::string &error() const { return error_; }
    std::string log() const;
    // The address a plug-in is served on, from its "listening on" line.
    std::string address(const std::string &plugin) const;

private:
    TempDir dir_;
    pid_t pid_ = 0;
    int pidfd_ = -1;
    int status_ = -1;
    std::string error_;
    std::map<std::string, std::string> addresses_;
};

// The environment every image test gives the host: the viewer draws on a
// small in-memory canvas and writes no snapshots.
HostOptions imageHostOptions();

// Figures of a process from /proc. -1 when unreadable.
long statusKb(pid_t pid, const char *field); // "VmRSS", "VmHWM"
int openDescriptors(pid_t pid);
bool resetPeakRss(pid_t pid); // clear_refs 5: VmHWM starts again from VmRSS

// Waits (bounded) until the process has exactly `count` descriptors open.
// Returns the last count seen.
int waitForDescriptors(pid_t pid, int count, std::chrono::milliseconds bound = kWait);

// Live (not zombie) children of `parent` whose command name is `comm`.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm);

// Waits (bounded) until `parent` has exactly `count` such children; returns
// the last count seen.
std::size_t waitForChildren(pid_t parent, const std::string &comm, std::size_t count,
                            std::chrono::milliseconds bound = kWait);

// Sends sig to pid through a pidfd, after checking that pid > 0 and that it is
// still a live child of `parent` named `comm`. With waitExit the call returns
// only once the process has ended (bounded by kWait). Returns whether the
// signal was sent (and, with waitExit, the process ended).
bool signalChild(pid_t parent, pid_t pid, const std::string &comm, int sig, bool waitExit = false);

// Raises this process's soft descriptor limit to its hard limit; returns the
// new soft limit.
long raiseFileLimit();

// A TCP connection to "127.0.0.1:PORT" made with blocking connect; the socket
// is non-blocking afterwards. rcvbuf > 0 sets SO_RCVBUF before connecting.
// Returns -1 on failure.
int connectTo(const std::string &address, int rcvbuf = 0);

// Reads exactly n bytes, or until the stream ends or fails. Returns the
// bytes read; *end gets 0 (all read), 1 (end of stream), 2 (error, e.g.
// ECONNRESET) or 3 (timeout).
std::string readBytes(int fd, std::size_t n, int *end, std::chrono::milliseconds bound = kWait);
// Reads until end of stream or error; *end as above (1, 2 or 3).
std::string readToEnd(int fd, int *end, std::chrono::milliseconds bound = kWait);
// Reads one big-endian word; -1 when the stream ended or failed first,
// -2 on timeout.
int64_t readWord(int fd, std::chrono::milliseconds bound = kWait);
// Sends all bytes; false on error or timeout.
bool sendAll(int fd, const void *data, std::size_t n, std::chrono::milliseconds bound = kWait);

std::string be32(uint32_t v);

} // namespace loadtest
