// System tests: the real plughost, started as a process, with the test
// plug-in (test_plugin.cpp) behind real sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/files.h"
#include "support/plughost.h"
#include "support/proc.h"
#include "support/sockets.h"

using testsupport::Conn;
using testsupport::kWait;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

const std::string kModules = TEST_MODULE_DIR;

// plughost run with these arguments.
struct PlugHost : testsupport::Plughost {
    bool start(std::vector<std::string> args)
    {
        args.insert(args.begin(), PLUGHOST_BIN);
        return Plughost::start(args);
    }
    int openDescriptors() const { return testsupport::descriptorsOf(pid()); }
};

std::vector<std::string> withPlugin(std::vector<std::string> extra = {})
{
    std::vector<std::string> args{"--module-dir", kModules, "--listen", "test_plugin=127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// One message from the test plug-in: a line, or "out N" with its N bytes.
struct Message {
    std::string line;
    std::string data;
};

std::optional<Message> next(Conn &c)
{
    auto l = c.line();
    if (!l)
        return std::nullopt;
    Message m{*l, {}};
    if (l->rfind("out ", 0) == 0) {
        auto b = c.bytes(std::stoul(l->substr(4)));
        if (!b)
            return std::nullopt;
        m.data = *b;
    }
    return m;
}

// Reads messages until one starts with prefix; collects relayed bytes and
// every line on the way.
struct Until {
    std::optional<std::string> found;
    std::string data;
    std::vector<std::string> lines;
};

Until readUntil(Conn &c, const std::string &prefix)
{
    Until u;
    while (auto m = next(c)) {
        u.data += m->data;
        if (m->line.rfind(prefix, 0) == 0) {
            u.found = m->line;
            return u;
        }
        u.lines.push_back(m->line);
    }
    return u;
}

int spawnedPid(Conn &c, const std::string &command)
{
    c.send(command + "\n");
    auto l = c.line();
    if (!l || l->rfind("spawned ", 0) != 0)
        return 0;
    return std::stoi(l->substr(8));
}

struct Stats {
    int connects = -1, closes = -1, errors = -1;
};

Stats stats(Conn &c)
{
    Stats s;
    if (!c.send("stats\n"))
        return s;
    auto l = c.line();
    if (l)
        std::sscanf(l->c_str(), "stats connects %d closes %d errors %d", &s.connects, &s.closes, &s.errors);
    return s;
}

Stats stats(const std::string &address)
{
    Conn c(address);
    return stats(c);
}

// Lines of the log that hold text.
int linesWith(const std::string &log, const std::string &text)
{
    int n = 0;
    std::istringstream lines(log);
    for (std::string l; std::getline(lines, l);)
        n += l.find(text) != std::string::npos;
    return n;
}

class HostSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.start(withPlugin())) << host.errors();
        address = host.address("test_plugin");
        ASSERT_FALSE(address.empty());
    }
    // A clean stop also means no sanitizer report and no leak at exit.
    void TearDown() override { EXPECT_EQ(host.stop(SIGTERM), 0) << host.errors(); }
    PlugHost host;
    std::string address;
};

} // namespace

TEST_F(HostSystem, EchoesLinesSentWholeSplitAndPipelined)
{
    Conn c(address);
    ASSERT_TRUE(c.ok());
    c.send("echo hello\n");
    EXPECT_EQ(c.line(), "hello");
    c.send("echo spl");
    c.send("it\necho a\necho b\n");
    EXPECT_EQ(c.line(), "split");
    EXPECT_EQ(c.line(), "a");
    EXPECT_EQ(c.line(), "b");
    c.send("swapecho swapped in\n"); // output that arrives by CBufferSwap is sent too
    EXPECT_EQ(c.line(), "swapped in");
}

// ---------------------------------------------------------------- flow control

// The socket of a suspended client is not read: TCP pushes back on the
// sender, and the plug-in gets no CLIENT_DATA (the test plug-in counts one as
// an error). Resumed, the client is served from where it stopped.
TEST_F(HostSystem, SuspendedClientIsNotReadAndIsServedWhereItStoppedOnceResumed)
{
    Conn a(address), b(address);
    ASSERT_TRUE(a.send("suspend\n"));
    ASSERT_EQ(a.line(), "suspended");
    const std::string line = "echo x\n";
    std::string chunk;
    while (chunk.size() + line.size() <= 65536)
        chunk += line;
    std::size_t sent = 0;
    bool pushedBack = false;
    while (sent < (std::size_t{256} << 20)) {
        const ssize_t n = ::send(a.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pushedBack = true;
            break;
        }
        ASSERT_GT(n, 0) << std::strerror(errno);
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(pushedBack) << sent << " bytes taken from a client whose input is suspended";
    EXPECT_EQ(stats(address).errors, 0);

    b.send("resumeall\n");
    EXPECT_EQ(b.line(), "resumed 1");
    const std::size_t partial = sent % line.size();
    if (partial) { // the rest of the line cut by the push-back
        ASSERT_TRUE(a.send(line.substr(partial)));
    }
    const std::size_t lines = (sent + line.size() - 1) / line.size();
    std::string expected;
    for (std::size_t i = 0; i < lines; ++i)
        expected += "x\n";
    EXPECT_EQ(a.bytes(expected.size()), expected) << lines << " lines sent";
    EXPECT_EQ(stats(address).errors, 0);
}

// A client that goes away while its input is suspended is reported closed:
// a plain close (the end of its sending) and a reset alike.
class HostSuspendedPeer : public HostSystem, public ::testing::WithParamInterface<bool> {};

TEST_P(HostSuspendedPeer, GoneWhileSuspendedIsReportedClosed)
{
    {
        Conn a(address);
        a.send("suspend\n");
        ASSERT_EQ(a.line(), "suspended");
        a.send("echo never read\n");
        if (GetParam()) {
            const linger reset{1, 0};
            ::setsockopt(a.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
    }
    Stats s;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    do {
        s = stats(address); // the asking connection itself is still open
    } while (s.closes != s.connects - 1 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(s.closes, s.connects - 1);
    EXPECT_EQ(s.errors, 0);
}

INSTANTIATE_TEST_SUITE_P(CloseOrReset, HostSuspendedPeer, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Reset" : "Close"; });

// 16 MiB sent in one go reach the plug-in in events of at most 1 MiB each.
TEST_F(HostSystem, EachReadinessEventBringsAtMostOneMebibyte)
{
    Conn a(address);
    const std::size_t n = 16u << 20;
    a.send("sink " + std::to_string(n) + "\n");
    ASSERT_EQ(a.line(), "sinking");
    ASSERT_TRUE(a.send(std::string(n, 's')));
    auto l = a.line();
    ASSERT_TRUE(l);
    std::size_t sunk = 0, most = 0;
    ASSERT_EQ(std::sscanf(l->c_str(), "sunk %zu max %zu", &sunk, &most), 2) << *l;
    EXPECT_EQ(sunk, n);
    EXPECT_GT(most, 0u);
    EXPECT_LE(most, std::size_t{1} << 20);
}

// A suspended stdout is not read: the child fills the pipe and blocks. Then
// either it is resumed and every byte arrives before the exit, or the child
// is killed and its exit is delivered at once, with the pipe left unread. The
// plug-in suspends the stdout at its first readable event, before reading.
class HostSuspendedStdout : public HostSystem, public ::testing::WithParamInterface<bool> {};

TEST_P(HostSuspendedStdout, ChildBlocksUntilResumedAndItsExitStillComes)
{
    const bool killIt = GetParam();
    constexpr long kTotal = 5000000;
    Conn c(address);
    const int pid = spawnedPid(c, "spawnpaused head|-c|" + std::to_string(kTotal) + "|/dev/zero");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(readUntil(c, "paused").found);
    ASSERT_TRUE(testsupport::waitFor([&] { return testsupport::pipeBytes(pid, 1) >= 65536; }, testsupport::kWaitMs))
        << "the child's output pipe never filled";
    c.send("count\n");
    EXPECT_EQ(c.line(), "count 0");
    if (killIt) {
        c.send("kill 9\n");
        auto end = readUntil(c, "exit ");
        ASSERT_TRUE(end.found);
        EXPECT_EQ(*end.found, "exit 137 bytes 0 argv0 head");
    } else {
        c.send("outresume\n");
        auto end = readUntil(c, "exit ");
        ASSERT_TRUE(end.found);
        EXPECT_EQ(*end.found, "exit 0 bytes " + std::to_string(kTotal + 1) + " argv0 head");
    }
    EXPECT_EQ(stats(address).errors, 0) << "a readable event came while suspended";
}

INSTANTIATE_TEST_SUITE_P(ResumeOrKill, HostSuspendedStdout, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Killed" : "Resumed"; });

// CLIENT_OUTPUT_LOW comes once OutBuffer holds at most the level asked for:
// at once when it does already, after the client has read enough otherwise.
TEST_F(HostSystem, OutputLowComesWhenOutBufferHasDrainedToTheLevel)
{
    Conn c(address);
    c.send("watch 1000\n");
    EXPECT_EQ(c.line(), "watch 0");
    auto low = c.line();
    ASSERT_TRUE(low);
    EXPECT_EQ(*low, "low 0") << "nothing was pending: right after the call";

    const std::size_t big = 40u << 20; // more than the socket buffers take
    c.send("big " + std::to_string(big) + "\nwatch 1000\n");
    auto data = c.bytes(big);
    ASSERT_TRUE(data);
    EXPECT_EQ(c.line(), "watch 0");
    low = c.line();
    ASSERT_TRUE(low);
    std::size_t level = 0;
    ASSERT_EQ(std::sscanf(low->c_str(), "low %zu", &level), 1) << *low;
    EXPECT_LE(level, 1000u);
    EXPECT_EQ(stats(address).errors, 0);
}

// ---------------------------------------------------------------- timers

// Each row: commands sent in one burst, then the one timeout expected, named
// by the generation (the number of "timer" commands) in effect when it fired.
struct TimerCase {
    const char *name;
    std::string commands;
    int fires;
};

void PrintTo(const TimerCase &t, std::ostream *os) { *os << t.name; }

class HostTimers : public HostSystem, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(HostTimers, OneTimeoutPerPluginTheLastCallWins)
{
    const TimerCase &t = GetParam();
    Conn c(address);
    c.send(t.commands);
    auto first = readUntil(c, "timeout ");
    ASSERT_TRUE(first.found);
    EXPECT_EQ(*first.found, "timeout " + std::to_string(t.fires));
    // A stale timeout, replaced or cancelled, would have been due before this one.
    c.send("timer 1\n");
    auto next = readUntil(c, "timeout ");
    ASSERT_TRUE(next.found);
    EXPECT_EQ(*next.found, "timeout " + std::to_string(t.fires + 1));
    for (const auto &l : next.lines) {
        EXPECT_EQ(l, "timer 0");
    }
    c.send("timerbad\n");
    EXPECT_EQ(c.line(), "timer -1");
    EXPECT_EQ(stats(address).errors, 0) << "TimeoutHandler called inside another call";
}

INSTANTIATE_TEST_SUITE_P(Rows, HostTimers,
                         ::testing::Values(TimerCase{"Due", "timer 0\n", 1},
                                           TimerCase{"Replaced", "timer 60000\ntimer 0\n", 2},
                                           TimerCase{"ReplacedByALaterOne", "timer 0\ntimer 40\n", 2},
                                           TimerCase{"CancelledThenSet", "timer 0\ntimer -1\ntimer 30\n", 3}),
                         [](const auto &info) { return info.param.name; });

// A child that closes its stdin and lives on still gets its write-ready
// event, once the wait for an exit that does not come is over; meanwhile the
// loop serves others.
TEST_F(HostSystem, ChildThatClosedItsStdinAndLivesOnGetsWriteReady)
{
    Conn c(address);
    const int pid = spawnedPid(c, "spawn /bin/sh|-c|exec 0<&-; exec sleep 60");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(next(c)); // the start byte: the plug-in knows the child's record
    ASSERT_TRUE(testsupport::waitFor(
        [&] { return ::access(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), F_OK) != 0; }, testsupport::kWaitMs));
    c.send("wron\n");
    Conn other(address);
    other.send("ping\n");
    EXPECT_EQ(other.line(), "pong");
    auto ready = readUntil(c, "wready");
    ASSERT_TRUE(ready.found);
    c.send("kill 9\n");
    auto end = readUntil(c, "exit ");
    ASSERT_TRUE(end.found);
    EXPECT_EQ(end.found->rfind("exit 137 ", 0), 0u) << *end.found;
    EXPECT_EQ(stats(address).errors, 0);
}

// A grandchild that keeps the stderr open does not hold the exit back: what
// was written is logged, the exit comes, and the host lets go of the pipe.
TEST_F(HostSystem, ExitIsNotHeldBackByAGrandchildHoldingStderr)
{
    Conn c(address);
    const int pid = spawnedPid(c, "spawn /bin/sh|-c|sleep 60 >/dev/null & echo $!; echo bye >&2");
    ASSERT_GT(pid, 0);
    auto end = readUntil(c, "exit ");
    ASSERT_TRUE(end.found);
    const int grandchild = std::atoi(end.data.c_str() + 1); // after the start byte
    if (grandchild > 0)
        testsupport::signalProcess(grandchild, SIGKILL);
    EXPECT_EQ(end.found->rfind("exit 0 ", 0), 0u) << *end.found;
    EXPECT_GT(grandchild, 0) << end.data;
    EXPECT_EQ(linesWith(host.errors(), "[warn] sh[" + std::to_string(pid) + "]: bye"), 1) << host.errors();
}

TEST_F(HostSystem, ModuleDirectoryIsAbsoluteWithoutTrailingSlash)
{
    Conn c(address);
    c.send("moduledir\n");
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(kModules.c_str(), resolved), nullptr);
    EXPECT_EQ(c.line(), std::string(resolved));
}

TEST_F(HostSystem, ReplyBeforeCloseClientArrivesBeforeTheClose)
{
    Conn small(address);
    small.send("close bye\n");
    EXPECT_EQ(small.untilClosed(), "bye\n");

    // More than the socket buffers take at once: the rest goes out after
    // CLIENT_CLOSED, before the socket is closed.
    const std::size_t n = 8 * 1024 * 1024;
    Conn big(address);
    big.send("closebig " + std::to_string(n) + "\n");
    auto got = big.untilClosed();
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), n);
    for (std::size_t i = 0; i < n; i += 4093)
        ASSERT_EQ(static_cast<unsigned char>((*got)[i]), i % 251) << "at " << i;

    const Stats s = stats(address); // CloseClient twice still means one close event
    EXPECT_EQ(s.connects, 3);
    EXPECT_EQ(s.closes, 2);
    EXPECT_EQ(s.errors, 0);
}

TEST_F(HostSystem, PeerHalfCloseGetsRemainingAnswersThenClose)
{
    Conn c(address);
    c.send("echo one\necho two\n");
    c.shutdownWrite();
    EXPECT_EQ(c.untilClosed(), "one\ntwo\n");
}

TEST_F(HostSystem, ExactlyOneCloseEventPerClient)
{
    for (int i = 0; i < 10; ++i) {
        Conn c(address);
        c.send("ping\n");
        EXPECT_EQ(c.line(), "pong");
    }
    // Clients that leave are reported in their own time; wait (bounded).
    // The stats client itself is still connected while it asks.
    Stats s;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    do {
        s = stats(address);
    } while (s.closes != s.connects - 1 && std::chrono::steady_clock::now() < deadline);
    EXPECT_GE(s.connects, 11);
    EXPECT_EQ(s.closes, s.connects - 1);
    EXPECT_EQ(s.errors, 0);
}

TEST_F(HostSystem, CatIsRelayedAndTheStartByteComesFirst)
{
    Conn c(address);
    const int pid = spawnedPid(c, "spawn /bin/cat");
    ASSERT_GT(pid, 0);
    auto first = next(c);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->line.rfind("out ", 0), 0u);
    ASSERT_FALSE(first->data.empty());
    EXPECT_EQ(first->data[0], 'S');
    std::string output = first->data.substr(1);

    c.send("write hello\n");
    EXPECT_EQ(c.line(), "wrote 6");
    while (output.size() < 6) {
        auto m = next(c);
        ASSERT_TRUE(m);
        output += m->data;
    }
    EXPECT_EQ(output, "hello\n");
    c.send("kill 9\n");
    auto end = readUntil(c, "exit ");
    ASSERT_TRUE(end.found);
    EXPECT_EQ(*end.found, "exit 137 bytes 7 argv0 /bin/cat");
}

// A child run to its end: the exit line comes after every byte of its output
// that the plug-in reads, and the host still answers afterwards.
TEST_F(HostSystem, ExitComesAfterTheOutputThePluginReads)
{
    struct Case {
        std::string command;
        std::string exit;
        long bytes;       // relayed before the exit line; -1: not looked at
        std::string data; // when given, those bytes
    };
    const std::vector<Case> cases = {
        // A program without a slash is found in PATH.
        {"spawn sh|-c|echo found", "exit 0 bytes 7 argv0 sh", 7, "Sfound\n"},
        {"spawn /bin/sh|-c|head -c 500000 /dev/zero; exit 3", "exit 3 bytes 500001 argv0 /bin/sh", 500001, ""},
        // Read 4 KiB per event: the child has long exited while 1 MiB still waits.
        {"spawnslow /bin/sh|-c|head -c 3000000 /dev/zero; exit 3", "exit 3 bytes 3000001 argv0 /bin/sh", -1, ""},
        // The plug-in leaves the output unread: the exit still comes, no busy loop.
        {"spawnlazy /bin/sh|-c|echo unread; exit 5", "exit 5 bytes 0 argv0 /bin/sh", -1, ""},
    };
    Conn c(address);
    for (const Case &t : cases) {
        SCOPED_TRACE(t.command);
        ASSERT_GT(spawnedPid(c, t.command), 0);
        auto end = readUntil(c, "exit ");
        ASSERT_TRUE(end.found);
        EXPECT_EQ(*end.found, t.exit);
        if (t.bytes >= 0) {
            EXPECT_EQ(end.data.size(), static_cast<std::size_t>(t.bytes));
        }
        if (!t.data.empty()) {
            EXPECT_EQ(end.data, t.data);
        }
        c.send("ping\n");
        EXPECT_EQ(c.line(), "pong");
    }
}

TEST_F(HostSystem, StatusIs128PlusSignalAndSpawnCodesForBadPrograms)
{
    Conn c(address);
    ASSERT_GT(spawnedPid(c, "spawn /bin/sleep|100"), 0);
    ASSERT_TRUE(next(c)); // the start byte
    c.send("kill 9\n");
    auto end = readUntil(c, "exit ");
    ASSERT_TRUE(end.found);
    EXPECT_EQ(*end.found, "exit 137 bytes 1 argv0 /bin/sleep");

    EXPECT_EQ(spawnedPid(c, "spawn /nonexistent/program"), -3);
    EXPECT_EQ(spawnedPid(c, "spawn no-such-program-for-plughost"), -3);
    EXPECT_EQ(spawnedPid(c, "spawn /etc/passwd"), -3);
    c.send("ping\n");
    EXPECT_EQ(c.line(), "pong"); // a failed exec leaves no child behind to report
}

TEST_F(HostSystem, WriteReadyOnlyWhileSwitchedOn)
{
    Conn c(address);
    ASSERT_GT(spawnedPid(c, "spawn /bin/cat"), 0);
    ASSERT_TRUE(next(c)); // the start byte

    c.send("wron\n");
    auto on = readUntil(c, "wready");
    ASSERT_TRUE(on.found) << "no write-ready event while switched on";
    EXPECT_EQ(on.lines, std::vector<std::string>{"ok"});

    // Fill cat's input while events are off: none may come.
    c.send("fill\n");
    auto filled = readUntil(c, "filled ");
    ASSERT_TRUE(filled.found);
    EXPECT_GE(std::stol(filled.found->substr(7)), 65536);
    c.send("ping\n");
    auto ping = readUntil(c, "pong");
    ASSERT_TRUE(ping.found);
    for (const auto &l : ping.lines)
        EXPECT_EQ(l.rfind("out ", 0), 0u) << l;

    // On again: as the relay drains cat, its input takes bytes again.
    c.send("wron\n");
    auto again = readUntil(c, "wready");
    ASSERT_TRUE(again.found);
    c.send("kill 9\n");
    ASSERT_TRUE(readUntil(c, "exit ").found);
    EXPECT_EQ(stats(address).errors, 0); // no "unexpected-wready"
}

TEST_F(HostSystem, NoDescriptorLeakAfterClientsAndChildren)
{
    const int before = host.openDescriptors(); // no client yet, nothing spawned
    {
        Conn c(address);
        for (int i = 0; i < 10; ++i) {
            ASSERT_GT(spawnedPid(c, "spawn /bin/sh|-c|echo x"), 0);
            ASSERT_TRUE(readUntil(c, "exit 0").found);
        }
        EXPECT_EQ(spawnedPid(c, "spawn /nonexistent"), -3);
        for (int i = 0; i < 10; ++i) {
            Conn other(address);
            other.send("close x\n");
            other.untilClosed();
        }
    }
    // The last client's departure is noticed in the host's own time.
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    int after = host.openDescriptors();
    while (after != before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = host.openDescriptors();
    }
    EXPECT_EQ(after, before);
}

// A child's stderr reaches the log line by line, named by the program and
// pid, escaped, before its exit is reported; blank lines are left out. The
// arguments in the "started pid" line are escaped too.
TEST(HostChildren, StderrIsLoggedEscapedAndNamedBeforeTheExit)
{
    PlugHost host;
    ASSERT_TRUE(host.start(withPlugin({"--log-level", "5"}))) << host.errors();
    Conn c(host.address("test_plugin"));
    const int pid = spawnedPid(
        c, "spawn /bin/sh|-c|printf 'one\\ttwo\\033[31m\\n\\n' >&2; printf tail >&2; exit 4|\x1b]0;title\x07");
    ASSERT_GT(pid, 0);
    auto end = readUntil(c, "exit ");
    ASSERT_TRUE(end.found);
    EXPECT_EQ(*end.found, "exit 4 bytes 1 argv0 /bin/sh");
    const std::string log = host.errors();
    const std::string name = "[warn] sh[" + std::to_string(pid) + "]: ";
    EXPECT_EQ(linesWith(log, name), 2) << log;
    EXPECT_EQ(linesWith(log, name + "one\\ttwo\\x1b[31m"), 1) << log;
    EXPECT_EQ(linesWith(log, name + "tail"), 1) << log;
    EXPECT_EQ(linesWith(log, "started pid " + std::to_string(pid) + ": /bin/sh -c printf"), 1) << log;
    EXPECT_EQ(linesWith(log, "exit 4 \\x1b]0;title\\x07"), 1) << log;
    for (char raw : {'\x1b', '\x07', '\t'})
        EXPECT_EQ(log.find(raw), std::string::npos) << "raw byte " << int(raw) << " in the log";
    EXPECT_EQ(host.stop(SIGTERM), 0);
}

// plughost's standard error a pipe whose reader stops reading: the host goes
// on serving, lines that do not fit are dropped, and once the reader reads
// again the count of the dropped lines comes first.
TEST(HostLog, StderrThatIsNotReadDropsLinesAndCountsThem)
{
    testsupport::SpawnOptions o;
    o.argv = {PLUGHOST_BIN, "--log-level", "5"};
    const auto plugin = withPlugin();
    o.argv.insert(o.argv.end(), plugin.begin(), plugin.end());
    o.stderrToPipe = true;
    testsupport::Plughost host;
    std::string error;
    ASSERT_TRUE(host.start(o, &error)) << error;
    ASSERT_GT(testsupport::fillPipe(host.pid(), 2), 0);
    for (int i = 0; i < 20; ++i) { // each logs its connect and close
        Conn c(host.address("test_plugin"));
        c.send("close served\n");
        EXPECT_EQ(c.untilClosed(), "served\n") << i;
    }
    // The reader reads again: it empties the pipe.
    const int err = host.stderrFd();
    ASSERT_EQ(::fcntl(err, F_SETFL, ::fcntl(err, F_GETFL) | O_NONBLOCK), 0);
    char buf[65536];
    while (::read(err, buf, sizeof buf) > 0) {
    }
    {
        Conn c(host.address("test_plugin"));
        c.send("close again\n");
        EXPECT_EQ(c.untilClosed(), "again\n");
    }
    std::string log;
    ASSERT_TRUE(testsupport::readUntil(err, "closed\n", &log, testsupport::kWaitMs)) << log;
    const std::string first = log.substr(0, log.find('\n'));
    const auto count = first.find("[warn] ");
    ASSERT_NE(count, std::string::npos) << log;
    EXPECT_EQ(std::atoi(first.c_str() + count + 7), 40) << log; // a connect and a close of each client
    EXPECT_NE(first.find(" log lines dropped: standard error did not take them"), std::string::npos) << log;
    EXPECT_NE(log.find("connected from"), std::string::npos) << log;
    EXPECT_EQ(host.stop(SIGTERM), 0);
}

TEST(HostChildren, ChildGetsOnlyTheStandardDescriptors)
{
    PlugHost host;
    TempDir logs;
    ASSERT_TRUE(host.start(withPlugin({"--log-file", logs.path() + "/log"}))) << host.errors();
    Conn c(host.address("test_plugin"));
    ASSERT_GT(spawnedPid(c, "spawn /bin/sh|-c|ls /proc/$$/fd"), 0);
    auto end = readUntil(c, "exit ");
    ASSERT_TRUE(end.found);
    EXPECT_EQ(end.data, "S0\n1\n2\n");
    EXPECT_EQ(host.stop(SIGTERM), 0);
}

TEST(HostLimits, ClientOverTheInputCapIsClosedAndOthersAreServed)
{
    PlugHost host;
    TempDir logs;
    const std::string log = logs.path() + "/log";
    ASSERT_TRUE(host.start(withPlugin({"--max-input", "1MiB", "--log-file", log}))) << host.errors();
    const std::string address = host.address("test_plugin");
    Conn bystander(address);
    Conn flood(address);
    // A line that never ends: the plug-in consumes nothing.
    flood.send(std::string(2 * 1024 * 1024, 'x'));
    EXPECT_TRUE(flood.untilClosed());
    bystander.send("echo still here\n");
    EXPECT_EQ(bystander.line(), "still here");
    EXPECT_NE(readFile(log).find("--max-input"), std::string::npos) << readFile(log);
}

// 10,000 clients closed in one plug-in call: each gets exactly one close
// event and sees the end of its connection.
TEST(HostLimits, TenThousandClientsClosedInOneCall)
{
    constexpr int kClients = 10000;
    const long limit = testsupport::raiseFileLimit(); // plughost inherits it
    ASSERT_GT(limit, kClients + 100) << "descriptor limit too low for this test";
    PlugHost host;
    ASSERT_TRUE(host.start(withPlugin())) << host.errors();
    const std::string address = host.address("test_plugin");
    Conn control(address);
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        const int fd = testsupport::connectTo(address);
        ASSERT_GE(fd, 0) << "connect " << i;
        fds.push_back(fd);
        if (fds.size() % 500 == 0 || fds.size() == kClients) { // no more than the backlog waits
            const int want = static_cast<int>(fds.size()) + 1;
            ASSERT_TRUE(testsupport::waitFor([&] { return stats(control).connects == want; }, testsupport::kWaitMs));
        }
    }
    ASSERT_TRUE(control.send("closeall\n"));
    ASSERT_EQ(control.line(), "closing " + std::to_string(kClients));
    int ended = 0;
    for (int fd : fds) {
        int end = 0;
        testsupport::readToEnd(fd, &end);
        ended += end == 1;
        ::close(fd);
    }
    EXPECT_EQ(ended, kClients);
    const Stats s = stats(control);
    EXPECT_EQ(s.closes, kClients);
    EXPECT_EQ(s.errors, 0);
    EXPECT_EQ(host.stop(SIGTERM), 0) << host.errors();
}

TEST(HostLimits, ClientOverTheOutputCapIsClosed)
{
    PlugHost host;
    TempDir logs;
    const std::string log = logs.path() + "/log";
    ASSERT_TRUE(host.start(withPlugin({"--max-output", "1MiB", "--log-file", log}))) << host.errors();
    Conn c(host.address("test_plugin"));
    c.send("closebig 2000000\n");
    auto got = c.untilClosed();
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->empty());
    EXPECT_NE(readFile(log).find("--max-output"), std::string::npos) << readFile(log);
}

// A closed client that never reads its output is let go after the drain
// timeout (5 s): its descriptor is closed although the output is not taken.
TEST(HostLimits, DrainOfAClosedClientThatNeverReadsIsBounded)
{
    PlugHost host;
    ASSERT_TRUE(host.start(withPlugin())) << host.errors();
    const int baseline = host.openDescriptors();
    Conn c(host.address("test_plugin"));
    c.send("closebig 60000000\n");
    ASSERT_TRUE(c.bytes(1)); // accepted and answering; from here on nothing is read
    EXPECT_GT(host.openDescriptors(), baseline);
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    int n = host.openDescriptors();
    while (n != baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        n = host.openDescriptors();
    }
    EXPECT_EQ(n, baseline);
    EXPECT_EQ(host.stop(SIGTERM), 0) << host.errors();
}

TEST(HostLifecycle, SigtermCallsDisposeAndExitsZero)
{
    PlugHost host;
    TempDir logs;
    const std::string log = logs.path() + "/log";
    ASSERT_TRUE(host.start(withPlugin({"--log-file", log}))) << host.errors();
    Conn c(host.address("test_plugin"));
    c.send("ping\n");
    ASSERT_EQ(c.line(), "pong");
    EXPECT_EQ(host.stop(SIGTERM), 0);
    const std::string text = readFile(log);
    EXPECT_NE(text.find("test plugin: Dispose called with 1 clients"), std::string::npos) << text;
    EXPECT_NE(text.find("[warn] test plugin: Initialize"), std::string::npos) << text;
}

TEST(HostLifecycle, UnixSocketReplacesAStaleFileAndIsRemovedAtExit)
{
    TempDir dir;
    const std::string path = dir.path() + "/sock";
    { // a socket file nobody listens on
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
        ::close(fd);
    }
    PlugHost host;
    ASSERT_TRUE(host.start({"--module-dir", kModules, "--listen", "test_plugin=unix:" + path})) << host.errors();
    EXPECT_EQ(host.address("test_plugin"), "unix:" + path);
    {
        Conn c("unix:" + path);
        c.send("echo over unix\n");
        EXPECT_EQ(c.line(), "over unix");
    }
    // A second server on the same live socket must refuse to start.
    PlugHost second;
    EXPECT_FALSE(second.start({"--module-dir", kModules, "--listen", "test_plugin=unix:" + path}));
    EXPECT_NE(second.status(), 0);
    EXPECT_NE(second.errors().find("in use"), std::string::npos) << second.errors();

    EXPECT_EQ(host.stop(SIGINT), 0);
    struct stat st {};
    EXPECT_NE(::lstat(path.c_str(), &st), 0);
}

TEST(HostLifecycle, ServesIpv6Loopback)
{
    int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    const bool ipv6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr *>(&in6), sizeof in6) == 0;
    if (probe >= 0)
        ::close(probe);
    if (!ipv6)
        GTEST_SKIP() << "no IPv6 loopback here";
    PlugHost host;
    ASSERT_TRUE(host.start({"--module-dir", kModules, "--listen", "test_plugin=[::1]:0"})) << host.errors();
    const std::string address = host.address("test_plugin");
    ASSERT_EQ(address.rfind("[::1]:", 0), 0u) << address;
    Conn c(address);
    c.send("echo six\n");
    EXPECT_EQ(c.line(), "six");
}

// Each start that cannot succeed: plughost exits non-zero before "ready"
// and its standard error names what was wrong.
TEST(HostStartup, EachBadStartStopsWithItsReason)
{
    // A port some other socket listens on.
    int busy = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr *>(&in), sizeof in), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    socklen_t len = sizeof in;
    ::getsockname(busy, reinterpret_cast<sockaddr *>(&in), &len);
    const std::string taken = "test_plugin=127.0.0.1:" + std::to_string(ntohs(in.sin_port));
    TempDir empty;
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> said; // each appears in its standard error
    };
    const std::vector<Case> cases = {
        {{"--module-dir", kModules, "--listen", "no_such_plugin=127.0.0.1:0"}, {"no_such_plugin"}},
        {{"--module-dir", kModules, "--listen", "noexport_plugin=127.0.0.1:0"}, {"noexport_plugin", "IOHandler"}},
        {{"--module-dir", kModules, "--listen", taken}, {"Address already in use"}},
        {{"--module-dir", empty.path()}, {"no plug-in found"}},
        {{"--module-dir", kModules, "--listen", "test_plugin"}, {}},
        {{"--log-level", "9"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        PlugHost host;
        EXPECT_FALSE(host.start(c.args));
        EXPECT_NE(host.status(), 0);
        const std::string err = host.errors();
        for (const std::string &text : c.said)
            EXPECT_NE(err.find(text), std::string::npos) << err;
    }
    ::close(busy);
}

TEST(HostStartup, ConfigFileTakesTheSameSettings)
{
    TempDir dir;
    const std::string config = dir.path() + "/plughost.toml";
    std::ofstream(config) << "module-dir = \"" << kModules
                          << "\"\nlisten = [\"test_plugin=127.0.0.1:0\"]\nlog-level = 4\n"
                          << "plugin-option = [\"test_plugin.greeting=from the file\", \"test_plugin.depth=3\"]\n";
    PlugHost host;
    ASSERT_TRUE(host.start({"--config", config})) << host.errors();
    Conn c(host.address("test_plugin"));
    c.send("echo configured\n");
    EXPECT_EQ(c.line(), "configured");
    c.send("option depth\n");
    EXPECT_EQ(c.line(), "option 3");
    EXPECT_NE(host.errors().find("greeting from the file"), std::string::npos) << host.errors();
}

// Settings reach their plug-in (the value is everything after the first '=');
// those for a plug-in that is not loaded, and those the plug-in did not ask
// for in Initialize, are reported.
TEST(HostStartup, PluginOptionsReachThePluginAndUnusedOnesAreReported)
{
    PlugHost host;
    ASSERT_TRUE(host.start(withPlugin({"--plugin-option", "test_plugin.greeting=hello", "--plugin-option",
                                       "test_plugin.depth=a=b", "--plugin-option", "nobody.width=1"})))
        << host.errors();
    Conn c(host.address("test_plugin"));
    c.send("option depth\noption width\n");
    EXPECT_EQ(c.line(), "option a=b");
    EXPECT_EQ(c.line(), "option (null)");
    const std::string log = host.errors();
    EXPECT_NE(log.find("greeting hello"), std::string::npos) << log;
    EXPECT_NE(log.find("test_plugin.depth=a=b: test_plugin did not ask for the setting depth"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("did not ask for the setting greeting"), std::string::npos) << log;
    EXPECT_NE(log.find("--plugin-option nobody.width=1: no plug-in nobody is loaded"), std::string::npos) << log;

    for (const char *bad : {"greeting=hi", ".greeting=hi", "test_plugin.=hi", "test_plugin.greeting"}) {
        PlugHost refused;
        EXPECT_FALSE(refused.start(withPlugin({"--plugin-option", bad}))) << bad;
        EXPECT_NE(refused.status(), 0) << bad;
        EXPECT_NE(refused.errors().find("NAME.KEY=VALUE"), std::string::npos) << refused.errors();
    }
}
