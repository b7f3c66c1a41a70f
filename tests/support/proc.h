// What /proc tells about processes: children by name, state, descriptor
// counts, memory and CPU figures. Waits on them are bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace testsupport {

// Fields of /proc/PID/stat. ok once name, state and parent were read;
// hasTimes once utime and stime were too.
struct ProcStat {
    bool ok = false;
    bool hasTimes = false;
    std::string comm;
    char state = '?';
    pid_t ppid = 0;
    long long utime = 0, stime = 0;
};
ProcStat readStat(pid_t pid);

// Children of parent with this command name; zombies only when asked.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string &comm, bool withZombies = false);
// Waits (bounded) until parent has exactly count live such children; returns
// the last count seen.
std::size_t waitForChildren(pid_t parent, const std::string &comm, std::size_t count,
                            std::chrono::milliseconds bound = kWait);

// Waits up to timeoutMs for an arbitrary process (not necessarily a child) to
// end. True when it ended (it may still be a zombie of its parent).
bool waitGone(pid_t pid, int timeoutMs);
// True when /proc shows no running process with this pid (absent, or a zombie).
bool goneInProc(pid_t pid);
// True once /proc has no entry for pid (it has ended and been reaped).
bool reaped(pid_t pid);

// utime + stime of a process, in clock ticks; -1 when it cannot be read.
long long cpuTicks(pid_t pid);
// A "Vm..." figure of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
long statusKb(pid_t pid, const char *field);
// clear_refs 5: VmHWM starts again from VmRSS.
bool resetPeakRss(pid_t pid);

// Bytes waiting in the pipe that a process has open as descriptor fd (read
// through /proc/PID/fd/FD); -1 when that cannot be read.
int pipeBytes(pid_t pid, int fd);
// Free space in that pipe (its capacity less the bytes waiting); -1 when
// that cannot be read. Below a page, a writer of more than that is blocked.
int pipeRoom(pid_t pid, int fd);

// Fills that pipe through /proc (as if its reader had stopped reading long
// ago); the bytes written, -1 when it cannot be opened.
long fillPipe(pid_t pid, int fd);

// Descriptors a process has open (for this process, without the one used to
// count them); -1 when unreadable.
int descriptorsOf(pid_t pid);
int openDescriptors(); // of this process
// Waits (bounded) until the process has exactly count descriptors open.
// Returns the last count seen.
int waitForDescriptors(pid_t pid, int count, std::chrono::milliseconds bound = kWait);

// Sends sig to pid through a pidfd, after checking that pid > 0 and that it is
// still a live child of parent named comm. With waitExit the call returns
// only once the process has ended (bounded by kWait). Whether the signal was
// sent (and, with waitExit, the process ended).
bool signalChild(pid_t parent, pid_t pid, const std::string &comm, int sig, bool waitExit = false);

} // namespace testsupport
