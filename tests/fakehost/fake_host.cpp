#include "fake_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <array>
#include <climits>
#include <deque>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "abi_types.h"

namespace fakehost {
namespace {

struct Plan {
    int after = 0;
    int times = 0;
    const void *only = nullptr;
};

struct SysPlan {
    int fd = -1;
    int err = 0;
    int times = 0;
    int after = 0;
};

// A non-blocking pipe served by the fake host (Pipes::Memory).
struct MemoryPipe {
    std::string bytes;
    std::size_t capacity = 65536;
    bool readerOpen = true;
    bool writerOpen = true;
};

// Descriptors of memory pipes: pipe i has read end kMemoryFd + 2i and write
// end kMemoryFd + 2i + 1, far above any descriptor the process can have.
constexpr int kMemoryFd = 1 << 28;

constexpr std::size_t kOps = static_cast<std::size_t>(Op::Malloc) + 1;
std::size_t index(Op op) { return static_cast<std::size_t>(op); }

struct HostState {
    // Indexed by Op: arrays, so that counting a call allocates nothing.
    std::array<std::vector<Plan>, kOps> plans;
    std::array<int, kOps> callCount{};
    std::vector<SysPlan> readPlans, writePlans;
    std::map<std::string, int> openFailures;
    std::map<std::string, int> openRedirects;
    std::vector<SysCall> readCalls, writeCalls;
    std::vector<std::size_t> allocSizes;
    std::deque<std::optional<timeval>> clock;
    int clockErr = 0;
    long long monotonicMs = -1; // -1: the real clock

    std::vector<std::unique_ptr<ClientRecord>> clients;
    std::map<const ClientRecord *, int> closes;
    std::deque<MemoryPipe> pipes; // before children: they outlive them
    std::vector<SpawnCall> spawnCalls;
    std::deque<int> spawnResults;
    int nextPid = 100000;
    std::vector<std::unique_ptr<Child>> children;
    std::vector<std::pair<int, int>> killCalls;
    std::vector<LogLine> logLines;
    bool keepLogLines = true;
    int logLevel = 5;
    long long logMaxSize = 1048576;
    std::string moduleDir = "/opt/x";
    std::size_t pluginCap = std::size_t(1) << 31;
    int pluginBuffers = 0; // made by CBufferCreate and not disposed of
    std::unordered_set<void *> live;
    bool failuresPaused = false;
    std::map<const ClientRecord *, ClientFlow> flows;
    std::vector<TimeoutCall> timeoutCalls;
    int pendingTimeout = -1;
    std::unordered_map<const Queue *, std::deque<const void *>> queues;
    std::map<std::string, std::string> options;
    std::vector<std::string> optionLookups;
};

HostState &S()
{
    static HostState state;
    return state;
}

// True when this call of `op` (on buffer `target`) is to fail.
bool shouldFail(Op op, const void *target = nullptr)
{
    if (S().failuresPaused)
        return false;
    S().callCount[index(op)]++;
    for (Plan &p : S().plans[index(op)]) {
        if (p.only && p.only != target)
            continue;
        if (p.after > 0) {
            p.after--;
            return false;
        }
        if (p.times == 0)
            return false;
        if (p.times > 0)
            p.times--;
        return true;
    }
    return false;
}

bool sysFail(std::vector<SysPlan> &plans, int fd, int *err)
{
    for (SysPlan &p : plans) {
        if (p.fd != -1 && p.fd != fd)
            continue;
        if (p.times == 0)
            continue;
        if (p.after > 0) {
            p.after--;
            return false;
        }
        p.times--;
        *err = p.err;
        return true;
    }
    return false;
}

bool isMemoryFd(int fd) { return fd >= kMemoryFd && fd - kMemoryFd < 2 * static_cast<int>(S().pipes.size()); }

// The pipe of a memory descriptor, when fd is its end of the wanted kind.
MemoryPipe *memoryPipe(int fd, bool writeEnd)
{
    if (!isMemoryFd(fd) || ((fd - kMemoryFd) % 2 == 1) != writeEnd)
        return nullptr;
    return &S().pipes[static_cast<std::size_t>((fd - kMemoryFd) / 2)];
}

ssize_t memoryRead(int fd, void *buf, std::size_t n)
{
    MemoryPipe *p = memoryPipe(fd, false);
    if (!p || !p->readerOpen) {
        errno = EBADF;
        return -1;
    }
    if (p->bytes.empty()) {
        if (!p->writerOpen)
            return 0;
        errno = EAGAIN;
        return -1;
    }
    std::size_t take = std::min(n, p->bytes.size());
    std::memcpy(buf, p->bytes.data(), take);
    p->bytes.erase(0, take);
    return static_cast<ssize_t>(take);
}

ssize_t memoryWrite(int fd, const void *buf, std::size_t n)
{
    MemoryPipe *p = memoryPipe(fd, true);
    if (!p || !p->writerOpen) {
        errno = EBADF;
        return -1;
    }
    if (!p->readerOpen) {
        errno = EPIPE;
        return -1;
    }
    if (n == 0)
        return 0;
    std::size_t room = p->capacity - p->bytes.size();
    if (room == 0 || (n <= PIPE_BUF && n > room)) {
        errno = EAGAIN;
        return -1;
    }
    std::size_t put = std::min(n, room);
    p->bytes.append(static_cast<const char *>(buf), put);
    return static_cast<ssize_t>(put);
}

} // namespace

void fail(Op op, int after, int times, const void *only)
{
    auto &v = S().plans[index(op)];
    for (Plan &p : v) {
        if (p.only == only) {
            p = Plan{after, times, only};
            return;
        }
    }
    // Buffer-specific plans are consulted before the general one.
    if (only)
        v.insert(v.begin(), Plan{after, times, only});
    else
        v.push_back(Plan{after, times, only});
}

int calls(Op op) { return S().callCount[index(op)]; }
int pluginBuffers() { return S().pluginBuffers; }
void pauseFailures(bool paused) { S().failuresPaused = paused; }

void failRead(int fd, int err, int times, int after) { S().readPlans.push_back({fd, err, times, after}); }
void failWrite(int fd, int err, int times, int after) { S().writePlans.push_back({fd, err, times, after}); }
void failOpen(const std::string &path, int err) { S().openFailures[path] = err; }
void redirectOpen(const std::string &path, int fd) { S().openRedirects[path] = fd; }
const std::vector<SysCall> &reads() { return S().readCalls; }
const std::vector<SysCall> &writes() { return S().writeCalls; }
const std::vector<std::size_t> &allocationSizes() { return S().allocSizes; }

void pushClock(long sec, long usec)
{
    timeval tv{};
    tv.tv_sec = sec;
    tv.tv_usec = usec;
    S().clock.push_back(tv);
}

void setMonotonicMs(long long milliseconds) { S().monotonicMs = milliseconds; }

void pushClockFailure(int err)
{
    S().clock.push_back(std::nullopt);
    S().clockErr = err;
}

ClientRecord *newClient()
{
    auto c = std::make_unique<ClientRecord>();
    c->InBuffer = new CBuffer(std::size_t(1) << 31);
    c->OutBuffer = new CBuffer(std::size_t(1) << 31);
    S().clients.push_back(std::move(c));
    return S().clients.back().get();
}

void feed(ClientRecord *c, const std::string &bytes) { ASSERT_TRUE(c->InBuffer->write(bytes.data(), bytes.size())); }

static std::string contents(const CBuffer *b)
{
    return std::string(reinterpret_cast<const char *>(b->data()), b->size());
}

std::string out(const ClientRecord *c) { return contents(c->OutBuffer); }
std::string in(const ClientRecord *c) { return contents(c->InBuffer); }

std::string takeOut(ClientRecord *c)
{
    std::string s = out(c);
    c->OutBuffer->clear();
    return s;
}

int closeCount(const ClientRecord *c)
{
    auto it = S().closes.find(c);
    return it == S().closes.end() ? 0 : it->second;
}

const std::vector<SpawnCall> &spawns() { return S().spawnCalls; }
void queueSpawnResult(int result) { S().spawnResults.push_back(result); }

Child::~Child()
{
    if (memory)
        return; // the memory pipes go with the fake host's state
    if (childIn >= 0)
        ::close(childIn);
    if (childOut >= 0)
        ::close(childOut);
    if (record.StdIn >= 0)
        ::close(record.StdIn);
    if (record.StdOut >= 0)
        ::close(record.StdOut);
}

void Child::writeOut(const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t n = writeSome(bytes.data() + done, bytes.size() - done);
        ASSERT_GT(n, 0u) << "pipe to the plug-in is full";
        done += n;
    }
}

std::string Child::readIn()
{
    std::string got;
    char buf[65536];
    for (;;) {
        std::size_t n = readSome(buf, sizeof buf);
        if (n == 0)
            break;
        got.append(buf, n);
    }
    return got;
}

void Child::closeOut()
{
    if (memory && childOut >= 0)
        memoryPipe(childOut, true)->writerOpen = false;
    else if (childOut >= 0)
        ::close(childOut);
    childOut = -1;
}

std::size_t Child::writeSome(const char *p, std::size_t n)
{
    if (childOut < 0)
        return 0;
    ssize_t done = memory ? memoryWrite(childOut, p, n) : ::write(childOut, p, n);
    return done > 0 ? static_cast<std::size_t>(done) : 0;
}

std::size_t Child::readSome(char *p, std::size_t n)
{
    ssize_t done = memory ? memoryRead(childIn, p, n) : ::read(childIn, p, n);
    return done > 0 ? static_cast<std::size_t>(done) : 0;
}

std::size_t Child::pendingOut() const
{
    if (memory)
        return memoryPipe(record.StdOut, false)->bytes.size();
    int n = 0;
    return ::ioctl(record.StdOut, FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
}

Child &newChild(int pid, int pipeSize, Pipes pipes)
{
    auto ch = std::make_unique<Child>();
    int in[2], outp[2];
    if (pipes == Pipes::Memory) {
        for (int *ends : {in, outp}) {
            MemoryPipe &p = S().pipes.emplace_back();
            if (pipeSize > 0)
                p.capacity = static_cast<std::size_t>(pipeSize);
            ends[0] = kMemoryFd + 2 * static_cast<int>(S().pipes.size() - 1);
            ends[1] = ends[0] + 1;
        }
        ch->memory = true;
    } else {
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(outp, O_CLOEXEC) != 0)
            std::abort();
        if (pipeSize > 0) {
            fcntl(in[1], F_SETPIPE_SZ, pipeSize);
            fcntl(outp[1], F_SETPIPE_SZ, pipeSize);
        }
        // The plug-in's ends are non-blocking, as the host makes them; the
        // test's ends too, so a test never hangs on a pipe.
        for (int fd : {in[0], in[1], outp[0], outp[1]})
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    ch->record.Pid = pid;
    ch->record.StdIn = in[1];
    ch->childIn = in[0];
    ch->record.StdOut = outp[0];
    ch->childOut = outp[1];
    for (const SpawnCall &s : S().spawnCalls)
        if (s.result == pid)
            ch->argv = s.argv;
    for (std::string &a : ch->argv)
        ch->argvPtrs.push_back(a.data());
    ch->argvPtrs.push_back(nullptr);
    ch->record.Argv = ch->argvPtrs.data();
    S().children.push_back(std::move(ch));
    return *S().children.back();
}

static Child *childOf(ExecutableRecord *e)
{
    for (auto &c : S().children)
        if (&c->record == e)
            return c.get();
    return nullptr;
}

const std::vector<std::pair<int, int>> &kills() { return S().killCalls; }

const ClientFlow &flow(const ClientRecord *c) { return S().flows[c]; }

bool deliverOutputLow(Plugin &plugin, ClientRecord *c)
{
    ClientFlow &f = S().flows[c];
    if (f.watchLevel < 0 || c->OutBuffer->size() > static_cast<std::size_t>(f.watchLevel))
        return false;
    f.watchLevel = -1;
    plugin.ClientHandler(c, CLIENT_OUTPUT_LOW);
    return true;
}

const void *queueItemAt(const Queue *q, int index)
{
    auto it = S().queues.find(q);
    if (it == S().queues.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.size())
        return nullptr;
    return it->second[static_cast<std::size_t>(index)];
}

const std::vector<TimeoutCall> &timeoutCalls() { return S().timeoutCalls; }
bool timeoutPending() { return S().pendingTimeout >= 0; }
int pendingTimeoutMs() { return S().pendingTimeout; }

bool fireTimeout(Plugin &plugin)
{
    if (S().pendingTimeout < 0)
        return false;
    S().pendingTimeout = -1;
    plugin.TimeoutHandler(nullptr);
    return true;
}

void setPluginOption(const std::string &key, const std::string &value) { S().options[key] = value; }
const std::vector<std::string> &optionLookups() { return S().optionLookups; }
const std::vector<LogLine> &logs() { return S().logLines; }

int logged(const std::string &text)
{
    int n = 0;
    for (const LogLine &l : S().logLines)
        n += l.text == text;
    return n;
}

int logged(int level, const std::string &text)
{
    int n = 0;
    for (const LogLine &l : S().logLines)
        n += l.level == level && l.text == text;
    return n;
}

void setLogLevel(int level) { S().logLevel = level; }
void keepLogLines(bool keep) { S().keepLogLines = keep; }
void setLogMaxSize(long long size) { S().logMaxSize = size; }
void setModuleDirectory(const std::string &dir)
{
    S().moduleDir = dir;
    ::ModuleDirectory = S().moduleDir.c_str();
}
void setPluginBufferCap(std::size_t cap) { S().pluginCap = cap; }
std::size_t liveAllocations() { return S().live.size(); }

void reset()
{
    for (auto &c : S().clients) {
        delete c->InBuffer;
        delete c->OutBuffer;
    }
    S().~HostState();
    new (&S()) HostState();
    ::ModuleDirectory = S().moduleDir.c_str();
}

Plugin::Plugin(const std::string &path)
{
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
        return;
    }
    Initialize = reinterpret_cast<InitializeFn>(dlsym(handle_, "Initialize"));
    Dispose = reinterpret_cast<DisposeFn>(dlsym(handle_, "Dispose"));
    ClientHandler = reinterpret_cast<ClientHandlerFn>(dlsym(handle_, "ClientHandler"));
    ExecutableHandler = reinterpret_cast<ExecutableHandlerFn>(dlsym(handle_, "ExecutableHandler"));
    TimeoutHandler = reinterpret_cast<TimeoutHandlerFn>(dlsym(handle_, "TimeoutHandler"));
    IOHandler = reinterpret_cast<IOHandlerFn>(dlsym(handle_, "IOHandler"));
    if (!Initialize || !Dispose || !ClientHandler || !ExecutableHandler || !TimeoutHandler || !IOHandler)
        ADD_FAILURE() << path << " lacks an export";
}

Plugin::~Plugin()
{
    if (handle_)
        dlclose(handle_);
}

void *Plugin::symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void PluginTest::SetUp()
{
    reset();
    plugin = std::make_unique<Plugin>(PLUGIN_UNDER_TEST);
    ASSERT_NE(plugin->Initialize, nullptr);
}

void PluginTest::TearDown()
{
    plugin.reset();
    reset();
}

void PluginTest::deliverClose(ClientRecord *c) { plugin->ClientHandler(c, CLIENT_CLOSED); }

std::string be32(uint32_t v)
{
    std::string s(4, '\0');
    s[0] = static_cast<char>(v >> 24);
    s[1] = static_cast<char>(v >> 16);
    s[2] = static_cast<char>(v >> 8);
    s[3] = static_cast<char>(v);
    return s;
}

uint32_t be32At(const std::string &s, std::size_t at)
{
    if (s.size() < at + 4) {
        ADD_FAILURE() << "no word at " << at << " in " << s.size() << " bytes";
        return 0xFFFFFFFF;
    }
    auto b = [&](std::size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

std::string host32(int32_t v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

} // namespace fakehost

// ------------------------------------------------------------------ host calls

using fakehost::Op;
using fakehost::S;
using fakehost::shouldFail;

extern "C" {

HostLogger *Logger = reinterpret_cast<HostLogger *>(0x10661);
const char *ModuleDirectory = "/opt/x";

CBuffer *CBufferCreate(size_t capacity, int growable)
{
    if (shouldFail(Op::BufferCreate))
        return nullptr;
    S().pluginBuffers++;
    return new CBuffer(growable ? S().pluginCap : capacity, capacity);
}

int64_t CBufferWrite(CBuffer *b, const void *p, size_t n)
{
    if (shouldFail(Op::BufferWrite, b))
        return -1;
    return b->write(p, n) ? static_cast<int64_t>(n) : -1;
}

int64_t CBufferRead(CBuffer *b, void *p, size_t n) { return static_cast<int64_t>(b->read(p, n)); }
int64_t CBufferPeek(const CBuffer *b, void *p, size_t n) { return static_cast<int64_t>(b->peekAt(p, 0, n)); }

int64_t CBufferPeekAt(const CBuffer *b, void *p, size_t at, size_t n)
{
    if (at > b->size())
        return -1;
    return static_cast<int64_t>(b->peekAt(p, at, n));
}

int64_t CBufferRemove(CBuffer *b, size_t n) { return static_cast<int64_t>(b->remove(n)); }
int64_t CBufferRemoveAt(CBuffer *b, int64_t pos, size_t n)
{
    return b->removeAt(pos, n) ? static_cast<int64_t>(n) : -1;
}

unsigned char *CBufferGetWriteBlock(CBuffer *b, size_t *size)
{
    if (shouldFail(Op::GetWriteBlock, b)) {
        *size = 0;
        return nullptr;
    }
    return b->writeBlock(*size, size);
}

int64_t CBufferCommitBlock(CBuffer *b, size_t n) { return b->commit(n) ? static_cast<int64_t>(n) : -1; }
size_t CBufferSize(const CBuffer *b) { return b->size(); }
void CBufferClear(CBuffer *b) { b->clear(); }
void CBufferDispose(CBuffer *b)
{
    S().pluginBuffers -= b != nullptr;
    delete b;
}
int CBufferSwap(CBuffer *a, CBuffer *b) { return a == b || a->swap(*b) ? 0 : -1; }
const unsigned char *CBufferData(const CBuffer *b) { return b->size() ? b->data() : nullptr; }

Queue *QueueCreate(void)
{
    if (shouldFail(Op::QueueCreate))
        return nullptr;
    Queue *q = new Queue();
    S().queues[q].clear();
    return q;
}

int QueueEnqueue(Queue *q, void *item)
{
    if (shouldFail(Op::QueueEnqueue) || !q->enqueue(item))
        return -1;
    S().queues[q].push_back(item);
    return 0;
}

void *QueueDequeue(Queue *q)
{
    void *item = q->dequeue();
    auto &copy = S().queues[q];
    if (item && !copy.empty())
        copy.pop_front();
    return item;
}

void *QueuePeek(const Queue *q) { return q->peek(); }

int QueueRemove(Queue *q, const void *item)
{
    if (!q->remove(item))
        return -1;
    auto &copy = S().queues[q];
    auto it = std::find(copy.begin(), copy.end(), item);
    if (it != copy.end())
        copy.erase(it);
    return 0;
}

int QueueSize(const Queue *q) { return static_cast<int>(q->size()); }

void QueueDispose(Queue *q)
{
    S().queues.erase(q);
    delete q;
}

int LogIsFatal(HostLogger *) { return S().logLevel >= 1; }
int LogIsError(HostLogger *) { return S().logLevel >= 2; }
int LogIsWarn(HostLogger *) { return S().logLevel >= 3; }
int LogIsInfo(HostLogger *) { return S().logLevel >= 4; }
int LogIsDebug(HostLogger *) { return S().logLevel >= 5; }
int LogGetLevel(HostLogger *) { return S().logLevel; }
long long LogGetMaxSize(HostLogger *) { return S().logMaxSize; }

void LogMessage(HostLogger *, int level, const char *format, ...)
{
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (S().keepLogLines)
        S().logLines.push_back({level, buf});
}

void CloseClient(ClientRecord *client) { S().closes[client]++; }

int SpawnExecutable(void *handle, char **argv)
{
    fakehost::SpawnCall call{handle, {}, 0};
    for (char **a = argv; a && *a; ++a)
        call.argv.emplace_back(*a);
    if (!S().spawnResults.empty()) {
        call.result = S().spawnResults.front();
        S().spawnResults.pop_front();
    } else {
        call.result = S().nextPid++;
    }
    S().spawnCalls.push_back(call);
    return call.result;
}

void AddExecutableStdIn(ExecutableRecord *e)
{
    if (auto *c = fakehost::childOf(e)) {
        c->adds++;
        c->stdinOn++;
    }
}

void RemoveExecutableStdIn(ExecutableRecord *e)
{
    if (auto *c = fakehost::childOf(e)) {
        c->removes++;
        c->stdinOn--;
    }
}

void SuspendClientInput(ClientRecord *client)
{
    fakehost::ClientFlow &f = S().flows[client];
    f.suspends++;
    f.suspended = true;
}

void ResumeClientInput(ClientRecord *client)
{
    fakehost::ClientFlow &f = S().flows[client];
    f.resumes++;
    f.suspended = false;
}

void SuspendExecutableStdOut(ExecutableRecord *e)
{
    if (auto *c = fakehost::childOf(e)) {
        c->stdoutSuspends++;
        c->stdoutSuspended = true;
    }
}

void ResumeExecutableStdOut(ExecutableRecord *e)
{
    if (auto *c = fakehost::childOf(e)) {
        c->stdoutResumes++;
        c->stdoutSuspended = false;
    }
}

int WatchClientOutput(ClientRecord *client, size_t level)
{
    fakehost::ClientFlow &f = S().flows[client];
    f.watches++;
    f.watchLevel = static_cast<long long>(level);
    return 0;
}

int SetTimeout(void *handle, int milliseconds)
{
    S().timeoutCalls.push_back({handle, milliseconds});
    if (!handle)
        return -1;
    S().pendingTimeout = milliseconds < 0 ? -1 : milliseconds;
    return 0;
}

const char *GetPluginOption(void *, const char *key)
{
    S().optionLookups.emplace_back(key ? key : "");
    auto it = key ? S().options.find(key) : S().options.end();
    return it == S().options.end() ? nullptr : it->second.c_str();
}

// ------------------------------------------ the plug-in's own calls, wrapped

void *__wrap_malloc(size_t n)
{
    if (shouldFail(Op::Malloc))
        return nullptr;
    void *p = malloc(n);
    if (p) {
        S().live.insert(p);
        S().allocSizes.push_back(n);
    }
    return p;
}

void *__wrap_calloc(size_t n, size_t m)
{
    if (shouldFail(Op::Malloc))
        return nullptr;
    void *p = calloc(n, m);
    if (p) {
        S().live.insert(p);
        S().allocSizes.push_back(n * m);
    }
    return p;
}

void *__wrap_realloc(void *old, size_t n)
{
    if (shouldFail(Op::Malloc))
        return nullptr;
    // Forget the old block first: once realloc succeeds it may be gone.
    const bool tracked = S().live.erase(old) > 0;
    void *p = realloc(old, n);
    if (p) {
        S().live.insert(p);
        S().allocSizes.push_back(n);
    } else if (tracked) {
        S().live.insert(old);
    }
    return p;
}

void __wrap_free(void *p)
{
    S().live.erase(p);
    free(p);
}

ssize_t __wrap_read(int fd, void *buf, size_t n)
{
    int err;
    if (fakehost::sysFail(S().readPlans, fd, &err)) {
        S().readCalls.push_back({fd, n, -1});
        errno = err;
        return -1;
    }
    ssize_t r = fakehost::isMemoryFd(fd) ? fakehost::memoryRead(fd, buf, n) : read(fd, buf, n);
    int saved = errno;
    S().readCalls.push_back({fd, n, static_cast<long>(r)});
    errno = saved;
    return r;
}

ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    int err;
    if (fakehost::sysFail(S().writePlans, fd, &err)) {
        S().writeCalls.push_back({fd, n, -1});
        errno = err;
        return -1;
    }
    ssize_t r = fakehost::isMemoryFd(fd) ? fakehost::memoryWrite(fd, buf, n) : write(fd, buf, n);
    int saved = errno;
    S().writeCalls.push_back({fd, n, static_cast<long>(r)});
    errno = saved;
    return r;
}

int __wrap_open(const char *path, int flags, ...)
{
    auto redirect = S().openRedirects.find(path);
    if (redirect != S().openRedirects.end())
        return dup(redirect->second);
    auto it = S().openFailures.find(path);
    if (it == S().openFailures.end())
        it = S().openFailures.find("");
    if (it != S().openFailures.end()) {
        errno = it->second;
        return -1;
    }
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return open(path, flags, mode);
}

int __wrap_kill(pid_t pid, int sig)
{
    // Recorded, never sent: the pids are fakes.
    S().killCalls.emplace_back(pid, sig);
    return 0;
}

int __wrap_gettimeofday(struct timeval *tv, void *tz)
{
    if (!S().clock.empty()) {
        auto reading = S().clock.front();
        S().clock.pop_front();
        if (!reading) {
            errno = S().clockErr;
            return -1;
        }
        *tv = *reading;
        return 0;
    }
    return gettimeofday(tv, static_cast<struct timezone *>(tz));
}

int __wrap_clock_gettime(clockid_t id, struct timespec *ts)
{
    const long long ms = S().monotonicMs;
    if (id != CLOCK_MONOTONIC || ms < 0)
        return clock_gettime(id, ts);
    ts->tv_sec = static_cast<time_t>(ms / 1000);
    ts->tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return 0;
}

} // extern "C"
