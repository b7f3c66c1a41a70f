// A fake host for the plug-ins' unit tests.
//
// The test executable defines every host call of plugin_api.h, so a plug-in
// loaded with dlopen binds to this harness instead of plughost. The harness
// records what the plug-in asked for (closes, spawns, write-ready switches,
// kills, log lines), injects failures on demand, and, through link-time
// wrapping of the plug-in's malloc/free/read/write/kill/gettimeofday/open,
// can fail the plug-in's own system and library calls.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "plugin_api.h"

namespace fakehost {

class Plugin;

// ---------------------------------------------------------------- failures

enum class Op {
    BufferCreate,  // CBufferCreate returns null
    BufferWrite,   // CBufferWrite returns -1
    GetWriteBlock, // CBufferGetWriteBlock returns null
    QueueCreate,   // QueueCreate returns null
    QueueEnqueue,  // QueueEnqueue returns -1
    Malloc,        // the plug-in's malloc/calloc/realloc return null
};

// Lets `after` matching calls pass, then fails the next `times` of them
// (times < 0: every one from then on). `only` restricts buffer operations to
// one buffer. A later call for the same Op (and `only`) replaces the plan.
void fail(Op op, int after = 0, int times = 1, const void *only = nullptr);
// While paused, no Op fails and no call is counted (for checks that call
// into the plug-in between events without disturbing its failure plans).
void pauseFailures(bool paused);
// How often the operation was called since reset (all buffers).
int calls(Op op);
// Buffers the plug-in made with CBufferCreate and has not disposed of.
int pluginBuffers();

// The plug-in's read/write/open fail with `err` (fd -1: any descriptor;
// path empty: any path) for the next `times` calls, after `after` calls that
// pass through to the real system call.
void failRead(int fd, int err, int times = 1, int after = 0);
void failWrite(int fd, int err, int times = 1, int after = 0);
void failOpen(const std::string &path, int err);
// The plug-in's open of `path` succeeds with dup(fd) instead of opening the
// path (the plug-in owns the duplicate; the test keeps fd).
void redirectOpen(const std::string &path, int fd);

// The plug-in's read and write calls as they were made: descriptor, bytes
// asked for, result (-1 for a failure, injected or real).
struct SysCall {
    int fd;
    std::size_t count;
    long result;
};
const std::vector<SysCall> &reads();
const std::vector<SysCall> &writes();

// Clock readings handed to the plug-in's gettimeofday, in order; once the
// list is used up the real clock answers.
void pushClock(long sec, long usec);
void pushClockFailure(int err);
// The plug-in's monotonic clock (clock_gettime with CLOCK_MONOTONIC) reads
// `milliseconds` from now on, until the next call or reset; before the first
// call the real clock answers.
void setMonotonicMs(long long milliseconds);

// ---------------------------------------------------------------- records

// A client with real host buffers. The harness owns it until reset().
ClientRecord *newClient();
void feed(ClientRecord *c, const std::string &bytes); // appends to InBuffer
std::string out(const ClientRecord *c);               // OutBuffer content
std::string takeOut(ClientRecord *c);                 // ... and consumes it
std::string in(const ClientRecord *c);                // InBuffer content
int closeCount(const ClientRecord *c);                // CloseClient calls

struct SpawnCall {
    void *handle;
    std::vector<std::string> argv;
    int result;
};
const std::vector<SpawnCall> &spawns();
// Results for the next SpawnExecutable calls, in order. When none are queued
// a call returns a fresh fake pid (>= 100000).
void queueSpawnResult(int result);

// An executable record as the host would hand it to the plug-in, with
// non-blocking pipes: the plug-in writes StdIn and reads StdOut; the test
// reads the child side of StdIn (childIn) and writes the child side of
// StdOut (childOut). pipeSize > 0 sets the pipe capacity (F_SETPIPE_SZ).
//
// The pipes are real unless the child is made with Pipes::Memory: then its
// four descriptors are numbers the fake host serves itself (the plug-in's
// read and write of them are wrapped), with the behaviour of a non-blocking
// pipe of pipeSize bytes (64 KiB when 0): EAGAIN when empty or full, writes of
// up to PIPE_BUF bytes whole or not at all, EPIPE once the reader is gone, end
// of file once the writer closed. No system call is made for them, so the
// test must use the methods below rather than read/write/ioctl on them.
enum class Pipes { Real, Memory };

struct Child {
    ExecutableRecord record{};
    int childIn = -1;    // read end of the plug-in's StdIn pipe
    int childOut = -1;   // write end of the plug-in's StdOut pipe
    bool memory = false; // Pipes::Memory
    int stdinOn = 0;     // write-ready events switched on (Add - Remove)
    int adds = 0, removes = 0;
    bool stdoutSuspended = false;              // SuspendExecutableStdOut in effect
    int stdoutSuspends = 0, stdoutResumes = 0; // calls made
    std::vector<std::string> argv;
    std::vector<char *> argvPtrs;
    ~Child();
    void writeOut(const std::string &bytes); // bytes from the "child"
    std::string readIn();                    // everything the plug-in wrote so far
    void closeOut();                         // the child closes its stdout
    // The child's side, a step at a time: bytes put into its stdout pipe (as
    // many as fit, 0 when full or closed), bytes taken from its stdin pipe
    // (0 when empty), and the bytes waiting in its stdout pipe.
    std::size_t writeSome(const char *p, std::size_t n);
    std::size_t readSome(char *p, std::size_t n);
    std::size_t pendingOut() const;
};
// Makes a record for `pid`; argv is taken from the spawn call that returned
// pid, when there was one.
Child &newChild(int pid, int pipeSize = 0, Pipes pipes = Pipes::Real);

const std::vector<std::pair<int, int>> &kills(); // (pid, signal), never sent

// ---------------------------------------------------------------- flow control

// What the plug-in asked for a client: SuspendClientInput / ResumeClientInput
// (state and number of calls) and WatchClientOutput (the level armed, -1 when
// none; the host's CLIENT_OUTPUT_LOW is the test's to deliver).
struct ClientFlow {
    bool suspended = false;
    int suspends = 0, resumes = 0;
    long long watchLevel = -1;
    int watches = 0;
};
const ClientFlow &flow(const ClientRecord *c);
// Delivers CLIENT_OUTPUT_LOW as the host would: disarms the watch first.
// False (and nothing delivered) when no watch is armed or the client's
// OutBuffer holds more than its level.
bool deliverOutputLow(Plugin &plugin, ClientRecord *c);

// SetTimeout calls as made (handle, milliseconds), and the pending one.
struct TimeoutCall {
    void *handle;
    int milliseconds;
};
const std::vector<TimeoutCall> &timeoutCalls();
bool timeoutPending();
int pendingTimeoutMs(); // -1 when none
// Calls TimeoutHandler(nullptr) when a timeout is pending, as the host would
// once it is due (the pending one is cleared first). Whether it was pending.
bool fireTimeout(Plugin &plugin);

// The items of a queue made by QueueCreate, oldest first, as the plug-in's
// queue calls left them: the fake host keeps this copy beside the host's
// queue, so that checks can look at a queue without calling into it. Null
// past the end (or for a queue the fake host did not make).
const void *queueItemAt(const Queue *q, int index);

// Settings GetPluginOption answers (by key; unset keys give null), and the
// keys asked for, in order.
void setPluginOption(const std::string &key, const std::string &value);
const std::vector<std::string> &optionLookups();

// ---------------------------------------------------------------- log

struct LogLine {
    int level;
    std::string text;
};
const std::vector<LogLine> &logs();
int logged(const std::string &text);            // exact matches, any level
int logged(int level, const std::string &text); // exact matches at level
void setLogLevel(int level);                    // default 5 (everything)
// Whether LogMessage keeps the lines for logs() (default, and after reset);
// formatted either way. Off for fuzzing, which does not look at them.
void keepLogLines(bool keep);
void setLogMaxSize(long long size);              // default 1048576
void setModuleDirectory(const std::string &dir); // default "/opt/x"
void setPluginBufferCap(std::size_t cap);        // CBufferCreate cap

// Allocations made through the plug-in's malloc that are not freed yet.
std::size_t liveAllocations();
// Sizes of the plug-in's successful malloc/calloc/realloc calls, in order.
const std::vector<std::size_t> &allocationSizes();

// Clears every record, plan and counter (does not touch a loaded plug-in).
void reset();

// ---------------------------------------------------------------- plug-in

// The plug-in loaded afresh: dlopen on construction, dlclose on destruction,
// so every instance starts from the plug-in's initial static state.
class Plugin {
public:
    explicit Plugin(const std::string &path);
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    InitializeFn Initialize = nullptr;
    DisposeFn Dispose = nullptr;
    ClientHandlerFn ClientHandler = nullptr;
    ExecutableHandlerFn ExecutableHandler = nullptr;
    TimeoutHandlerFn TimeoutHandler = nullptr;
    IOHandlerFn IOHandler = nullptr;
    void *symbol(const char *name) const; // any other symbol, or null

private:
    void *handle_ = nullptr;
};

// Fixture: resets the fake host and loads the plug-in at PLUGIN_UNDER_TEST
// (a compile definition) before each test, unloads it after.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Host-side close: what the host does after CloseClient or a hang-up.
    void deliverClose(ClientRecord *c);
    void connect(ClientRecord *c) { plugin->ClientHandler(c, CLIENT_CONNECTED); }
    void data(ClientRecord *c, const std::string &bytes)
    {
        feed(c, bytes);
        plugin->ClientHandler(c, CLIENT_DATA);
    }
    std::unique_ptr<Plugin> plugin;
    void *handle = reinterpret_cast<void *>(0x5eed);
};

// Big-endian word as 4 bytes, and back.
std::string be32(uint32_t v);
uint32_t be32At(const std::string &s, std::size_t at = 0);
// Host-order word as 4 bytes.
std::string host32(int32_t v);

} // namespace fakehost
