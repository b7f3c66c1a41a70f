// Real processes for the fault and load tests: plughost started with a chosen
// descriptor limit and environment, the figures /proc gives about it, and raw
// loopback sockets. Every wait is bounded (kWait) so a fault fails instead of
// hanging.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/plughost.h"
#include "support/proc.h"
#include "support/sockets.h"

namespace loadtest {

using testsupport::be32;
using testsupport::childrenNamed;
using testsupport::connectTo;
using testsupport::fillPipe;
using testsupport::kWait;
using testsupport::overwriteFile;
using testsupport::pipeRoom;
using testsupport::raiseFileLimit;
using testsupport::readBytes;
using testsupport::readFile;
using testsupport::readToEnd;
using testsupport::readWord;
using testsupport::resetPeakRss;
using testsupport::sendAll;
using testsupport::signalChild;
using testsupport::statusKb;
using testsupport::waitForChildren;
using testsupport::waitForDescriptors;
using testsupport::writeFile;

// Counts are scaled down under the sanitizers, where every process is slower.
#ifdef LOAD_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// A fresh directory, removed with its contents.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("plughost-load") {}
};

// Descriptors a process has open; -1 when unreadable.
inline int openDescriptors(pid_t pid) { return testsupport::descriptorsOf(pid); }

struct HostOptions {
    std::vector<std::string> args;                 // after the binary: --listen ... etc.
    std::map<std::string, std::string> env;        // added to (or replacing in) the environment
    long fileLimit = 0;                            // RLIMIT_NOFILE soft and hard; 0: inherited
    // PATH leads first to a stand-in "unclutter", a shell script with this
    // body (empty: the real one). The default waits for the end of its input:
    // without a display the real one exits at once and its restarts would
    // make the host's descriptor count move.
    std::string unclutter = "exec cat >/dev/null\n";
    // Standard error a pipe that nobody reads (as under a supervisor that
    // does not drain it), instead of the log file.
    bool stderrUnread = false;
};

// plughost as a child of the test. Its standard error (the log) goes to a
// file in its own temporary directory, or to a pipe nobody reads.
class Host {
public:
    // Starts it and waits for "ready"; false on failure (why in error()).
    bool start(const HostOptions &options);
    // SIGTERM and a bounded wait; returns the wait status, -1 on timeout.
    int stop();
    // True while the process has not ended.
    bool running() const { return host_.running(); }

    pid_t pid() const { return host_.pid(); }
    const std::string &error() const { return error_; }
    std::string log() const; // empty with stderrUnread
    // The address a plug-in is served on, from its "listening on" line.
    std::string address(const std::string &plugin) const { return host_.address(plugin); }

private:
    TempDir dir_;
    testsupport::Plughost host_;
    std::string error_;
};

// The environment every image test gives the host: the viewer draws on a
// small in-memory canvas and writes no snapshots.
HostOptions imageHostOptions();

} // namespace loadtest
