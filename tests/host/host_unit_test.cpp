// Host code driven in this process: the log's escaping, the splitting and
// rate limit of a child's stderr, and every exported host call with each of
// its allocations failed in turn. The failures come from this binary's own
// global operator new; plughost itself has no such hook.
#include "child_stderr.h"
#include "host.h"
#include "logger.h"
#include "plugin_api.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/proc.h"
#include "support/process.h"
#include "support/sockets.h"

// ---------------------------------------------------------------- allocation failure

namespace {
long gFailCountdown = -1; // allocations to let pass before one fails; -1: none
bool gFailed = false;

void *allocate(std::size_t n) noexcept
{
    if (gFailCountdown >= 0 && gFailCountdown-- == 0) {
        gFailed = true;
        return nullptr;
    }
    return std::malloc(n ? n : 1);
}

void *allocateOrThrow(std::size_t n)
{
    if (void *p = allocate(n))
        return p;
    throw std::bad_alloc();
}

// Runs call with its allocation number k (from 0) failing; *failed tells
// whether the call got that far.
template <typename Call>
auto withAllocationFailure(long k, bool *failed, Call &&call)
{
    gFailed = false;
    gFailCountdown = k;
    auto result = call();
    gFailCountdown = -1;
    *failed = gFailed;
    return result;
}
} // namespace

void *operator new(std::size_t n) { return allocateOrThrow(n); }
void *operator new[](std::size_t n) { return allocateOrThrow(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

using namespace plughost;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- escaping

struct EscapeCase {
    const char *name;
    std::string in, out;
};

void PrintTo(const EscapeCase &c, std::ostream *os) { *os << c.name; }

class LogEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(LogEscape, OnlyPrintableAsciiPassesAsItIs)
{
    EXPECT_EQ(escaped(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogEscape,
    ::testing::Values(EscapeCase{"Plain", "a path/with spaces ~!", "a path/with spaces ~!"},
                      EscapeCase{"LineEnds", "one\ntwo\r\n", "one\\ntwo\\r\\n"},
                      EscapeCase{"Tab", "a\tb", "a\\tb"},
                      EscapeCase{"TerminalEscape", "\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
                      EscapeCase{"Backslash", "C:\\x1b", "C:\\\\x1b"},
                      EscapeCase{"NulDelAndHigh", std::string("\0\x7f\xff", 3), "\\x00\\x7f\\xff"},
                      EscapeCase{"Utf8", "\xc3\xa9t\xc3\xa9", "\\xc3\\xa9t\\xc3\\xa9"}),
    [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------- stderr lines

std::vector<std::string> feedAll(const std::vector<std::string> &pieces, bool finish,
                                 const std::string &program = "/opt/x/prog")
{
    std::vector<std::string> lines;
    const StderrLines::Out out = [&](std::string_view text) { lines.emplace_back(text); };
    StderrLines s(program);
    s.setPid(7);
    const auto now = Clock::now();
    for (const auto &p : pieces)
        s.feed(p, now, out);
    if (finish)
        s.finish(now, out);
    return lines;
}

struct LinesCase {
    const char *name;
    std::vector<std::string> pieces;
    bool finish;
    std::vector<std::string> logged;
};

void PrintTo(const LinesCase &c, std::ostream *os) { *os << c.name; }

class ChildStderrLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(ChildStderrLines, OneLogLinePerLineCutAtTheBound)
{
    EXPECT_EQ(feedAll(GetParam().pieces, GetParam().finish), GetParam().logged);
}

const std::string k1000(1000, 'x');
const std::string kCut = " [line cut at 1000 bytes]";

INSTANTIATE_TEST_SUITE_P(
    Rows, ChildStderrLines,
    ::testing::Values(
        LinesCase{"TwoLines", {"one\ntwo\n"}, false, {"prog[7]: one", "prog[7]: two"}},
        LinesCase{"LineInPieces", {"he", "llo\nwo", "rld\n"}, false, {"prog[7]: hello", "prog[7]: world"}},
        LinesCase{"BlankLinesAreNotLogged", {"message\n\n", "\n"}, true, {"prog[7]: message"}},
        LinesCase{"UnfinishedLineAtTheEnd", {"done\ntail"}, true, {"prog[7]: done", "prog[7]: tail"}},
        LinesCase{"UnfinishedLineWaits", {"tail"}, false, {}},
        LinesCase{"ExactlyAtTheBound", {k1000 + "\n"}, false, {"prog[7]: " + k1000}},
        LinesCase{"LongLineIsCutOnceAndItsRestDropped",
                  {k1000 + "yyyy", std::string(5000, 'y'), "yy\nnext\n"},
                  false,
                  {"prog[7]: " + k1000 + kCut, "prog[7]: next"}},
        LinesCase{"CutAcrossPieces", {std::string(999, 'x'), "xx", "\n"}, true, {"prog[7]: " + k1000 + kCut}}),
    [](const auto &info) { return info.param.name; });

TEST(ChildStderrRate, BurstOverTheLimitIsCountedAndReportedOnce)
{
    std::vector<std::string> lines;
    const StderrLines::Out out = [&](std::string_view text) { lines.emplace_back(text); };
    StderrLines s("prog");
    s.setPid(9);
    const auto t0 = Clock::now();
    for (int i = 0; i < 250; ++i)
        s.feed("line " + std::to_string(i) + "\n", t0, out);
    ASSERT_EQ(lines.size(), std::size_t(StderrLines::kBurst));
    EXPECT_EQ(lines.back(), "prog[9]: line 99");
    // A line in the next window: first the count of the first one.
    s.feed("later\n", t0 + StderrLines::kWindow, out);
    ASSERT_EQ(lines.size(), std::size_t(StderrLines::kBurst) + 2);
    EXPECT_EQ(lines[100], "prog[9]: 150 more lines not logged (over 100 lines in 10 s)");
    EXPECT_EQ(lines[101], "prog[9]: later");
    // Over the limit again, then the end of the stream reports that count.
    for (int i = 0; i < 120; ++i)
        s.feed("again\n", t0 + StderrLines::kWindow, out);
    s.finish(t0 + StderrLines::kWindow, out);
    EXPECT_EQ(lines.size(), std::size_t(2 * StderrLines::kBurst) + 2);
    EXPECT_EQ(lines.back(), "prog[9]: 21 more lines not logged (over 100 lines in 10 s)");
}

// ---------------------------------------------------------------- host calls

// What the in-process plug-in was told.
struct Seen {
    void *handle = nullptr;
    std::vector<ClientRecord *> connected;
    std::map<ClientRecord *, int> closed;
    std::set<int> exited;
    std::function<void(ClientRecord *)> onData; // run inside CLIENT_DATA
    int dataEvents = 0;
};
Seen gSeen;

void onInitialize(void *handle) { gSeen.handle = handle; }
void onDispose() {}
int onClient(ClientRecord *c, int kind)
{
    switch (kind) {
    case CLIENT_CONNECTED: gSeen.connected.push_back(c); break;
    case CLIENT_CLOSED: ++gSeen.closed[c]; break;
    case CLIENT_DATA:
        CBufferClear(c->InBuffer);
        ++gSeen.dataEvents;
        if (gSeen.onData)
            gSeen.onData(c);
        break;
    default: break;
    }
    return 0;
}
int onChild(ExecutableRecord *e, int kind)
{
    if (kind == EXECUTABLE_READABLE) {
        char buf[256];
        while (::read(e->StdOut, buf, sizeof buf) > 0) {
        }
    } else if (kind == EXECUTABLE_EXITED) {
        gSeen.exited.insert(e->Pid);
    }
    return 0;
}
int onTimeout(void *) { return 0; }

class HostCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        static testsupport::TempDir logs("plughost-unit");
        static const std::string logError = setupLogger(LOG_DEBUG, 1 << 20, logs.file("log"));
        ASSERT_EQ(logError, "");
        gSeen = Seen{};
        ASSERT_EQ(host.open(), "");
        auto p = std::make_unique<Plugin>();
        p->name = "inprocess";
        p->initialize = onInitialize;
        p->dispose = onDispose;
        p->clientHandler = onClient;
        p->executableHandler = onChild;
        p->timeoutHandler = onTimeout;
        p->ioHandler = onTimeout;
        p->options["greeting"] = "hi";
        Listener l;
        ASSERT_EQ(openListener("127.0.0.1:0", l), "");
        address = l.shown;
        l.pluginName = p->name;
        l.plugin = p.get();
        host.addListener(std::move(l));
        host.addPlugin(std::move(p));
        host.initializePlugins();
        ASSERT_NE(gSeen.handle, nullptr);
    }

    void TearDown() override
    {
        for (int fd : peers)
            ::close(fd);
    }

    bool turnUntil(const std::function<bool()> &done)
    {
        const auto deadline = Clock::now() + testsupport::kWait;
        while (!done()) {
            if (Clock::now() > deadline || !host.turn(10))
                return false;
        }
        return true;
    }

    // A client connected and known to the plug-in; *fd is the test's end.
    ClientRecord *connect(int *fd)
    {
        *fd = testsupport::connectTo(address);
        if (*fd < 0)
            return nullptr;
        peers.push_back(*fd);
        const std::size_t before = gSeen.connected.size();
        return turnUntil([&] { return gSeen.connected.size() > before; }) ? gSeen.connected.back() : nullptr;
    }

    // Runs action inside a CLIENT_DATA call, as a plug-in makes host calls.
    bool inCall(int fd, const std::function<void()> &action)
    {
        bool ran = false;
        gSeen.onData = [&](ClientRecord *) {
            ran = true;
            action();
        };
        const bool ok = testsupport::sendAll(fd, "x", 1) && turnUntil([&] { return ran; });
        gSeen.onData = nullptr;
        return ok;
    }

    Host host{Limits{}};
    std::string address;
    std::vector<int> peers;
};

// Bytes that arrive on fd until n have come or the bound passed.
std::string received(int fd, std::size_t n)
{
    int end = 0;
    return testsupport::readBytes(fd, n, &end, std::chrono::milliseconds(2000));
}

// Every call that returns a value: each allocation it makes failed in turn,
// it returns a value it documents and throws nothing.
struct ValueCall {
    const char *name;
    // Makes the call on client c, checks its result and undoes what it did.
    std::function<bool(ClientRecord *c)> call;
};

void PrintTo(const ValueCall &c, std::ostream *os) { *os << c.name; }

class HostCallValues : public HostCalls, public ::testing::WithParamInterface<ValueCall> {};

TEST_P(HostCallValues, EachFailedAllocationGivesTheDocumentedValue)
{
    int fd = -1;
    ClientRecord *c = connect(&fd);
    ASSERT_NE(c, nullptr);
    int failures = 0;
    for (long k = 0; k < 1000; ++k) {
        bool failed = false, ok = false, threw = false;
        ASSERT_TRUE(inCall(fd, [&] {
            try {
                ok = withAllocationFailure(k, &failed, [&] { return GetParam().call(c); });
            } catch (...) {
                gFailCountdown = -1;
                threw = true;
            }
        }));
        EXPECT_FALSE(threw) << "an exception left the call at allocation " << k;
        EXPECT_TRUE(ok) << "allocation " << k;
        if (!failed)
            break;
        ++failures;
    }
    EXPECT_GT(failures, 0) << "the call allocates nothing";
    EXPECT_TRUE(gSeen.closed.empty());
}

const std::string kLong(3000, 'l');

INSTANTIATE_TEST_SUITE_P(
    Rows, HostCallValues,
    ::testing::Values(
        ValueCall{"LogMessage",
                  [](ClientRecord *) {
                      LogMessage(Logger, LOG_WARN, "a long message: %s", kLong.c_str());
                      return true;
                  }},
        ValueCall{"CBufferCreate",
                  [](ClientRecord *) {
                      CBuffer *b = CBufferCreate(100, 1);
                      CBufferDispose(b);
                      return true; // null or a buffer, nothing thrown
                  }},
        ValueCall{"QueueCreateAndEnqueue",
                  [](ClientRecord *) {
                      Queue *q = QueueCreate();
                      int item = 0;
                      const bool ok = !q || QueueEnqueue(q, &item) == 0 || QueueSize(q) == 0;
                      QueueDispose(q);
                      return ok;
                  }},
        ValueCall{"GetPluginOption",
                  [](ClientRecord *) {
                      const char *v = GetPluginOption(gSeen.handle, "greeting");
                      return !v || std::string(v) == "hi";
                  }},
        ValueCall{"WatchClientOutput",
                  [](ClientRecord *c) {
                      const int r = WatchClientOutput(c, 0);
                      return r == 0 || r == -1;
                  }},
        ValueCall{"SuspendAndResumeClientInput",
                  [](ClientRecord *c) {
                      SuspendClientInput(c);
                      ResumeClientInput(c);
                      return true;
                  }}),
    [](const auto &info) { return info.param.name; });

// A write to a client's OutBuffer either is sent whole or fails (-1) with
// nothing appended; a close that fails leaves the client open, and a later
// one closes it exactly once.
TEST_F(HostCalls, ClientWritesAndClosesStayWholeUnderFailedAllocations)
{
    int fd = -1;
    ClientRecord *c = connect(&fd);
    ASSERT_NE(c, nullptr);
    std::string expected;
    int failures = 0;
    for (long k = 0; k < 1000; ++k) {
        bool failed = false;
        int64_t r = 0;
        ASSERT_TRUE(inCall(fd, [&] {
            r = withAllocationFailure(k, &failed, [&] { return CBufferWrite(c->OutBuffer, "hello", 5); });
        }));
        ASSERT_TRUE(r == 5 || r == -1) << r;
        if (r == 5)
            expected += "hello";
        if (!failed)
            break;
        failures += r == -1;
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(received(fd, expected.size()), expected);
    EXPECT_TRUE(gSeen.closed.empty()) << "a refused write closed the client";

    for (long k = 0; k < 1000 && !gSeen.closed.count(c); ++k) {
        bool failed = false;
        ASSERT_TRUE(inCall(fd, [&] {
            withAllocationFailure(k, &failed, [&] {
                CloseClient(c);
                return 0;
            });
        }));
        if (!failed)
            break;
    }
    if (!gSeen.closed.count(c)) {
        ASSERT_TRUE(inCall(fd, [&] { CloseClient(c); }));
    }
    EXPECT_EQ(gSeen.closed[c], 1);
    int end = 0;
    testsupport::readToEnd(fd, &end);
    EXPECT_EQ(end, 1) << "the peer did not see the close";
}

// A spawn that fails at any allocation returns SPAWN_NO_RESOURCES and leaves
// neither a child (running or a zombie) nor a descriptor behind.
TEST_F(HostCalls, SpawnThatFailsLeavesNoChildAndNoDescriptor)
{
    const std::string program = testsupport::findInPath("true");
    ASSERT_FALSE(program.empty());
    const int fds = testsupport::openDescriptors();
    int failures = 0;
    for (long k = 0; k < 1000; ++k) {
        std::string a0 = program, a1 = "an argument";
        char *argv[] = {a0.data(), a1.data(), nullptr};
        bool failed = false;
        const int pid = withAllocationFailure(k, &failed, [&] { return SpawnExecutable(gSeen.handle, argv); });
        if (pid > 0) {
            ASSERT_TRUE(turnUntil([&] { return gSeen.exited.count(pid) > 0; })) << "no exit of pid " << pid;
        } else {
            ++failures;
            EXPECT_EQ(pid, SPAWN_NO_RESOURCES) << "allocation " << k;
        }
        siginfo_t info{};
        errno = 0;
        EXPECT_EQ(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), -1) << "a child is left at allocation " << k;
        EXPECT_EQ(errno, ECHILD);
        EXPECT_EQ(testsupport::openDescriptors(), fds) << "allocation " << k;
        if (!failed)
            break;
    }
    EXPECT_GT(failures, 0);
}

} // namespace
