// dvl_handler against the fake host: clients and their paths, the watcher's
// start byte, the relay of change records, exits, closes, Dispose and every
// failure the plug-in reports.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "abi_types.h"
#include "fake_host.h"

using namespace fakehost;

namespace {

const std::string kWrite = "write failed on client->Client->OutBuffer.";
const std::string kRemoving = "Removing dvl client.";

std::string record(const std::string &content) { return host32(static_cast<int32_t>(content.size())) + content; }
std::string relayed(const std::string &content) { return be32(static_cast<uint32_t>(content.size())) + content; }

// Everything still waiting in a pipe, read by the test itself.
std::string drain(int fd)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<std::size_t>(n));
    return got;
}

std::vector<std::string> errorLines()
{
    std::vector<std::string> v;
    for (const LogLine &l : logs())
        if (l.level <= LOG_ERROR)
            v.push_back(l.text);
    return v;
}

std::vector<std::pair<int, int>> terms(std::initializer_list<int> pids)
{
    std::vector<std::pair<int, int>> v;
    for (int p : pids)
        v.emplace_back(p, SIGTERM);
    return v;
}

class Dvl : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        plugin->Initialize(handle);
    }
    void TearDown() override
    {
        if (plugin) {
            plugin->Dispose();
            EXPECT_EQ(liveAllocations(), 0u) << "memory left after Dispose";
        }
        PluginTest::TearDown();
    }

    ClientRecord *connected()
    {
        ClientRecord *c = newClient();
        connect(c);
        EXPECT_EQ(takeOut(c), be32(0));
        return c;
    }
    // A client whose path has been sent: the watcher is starting.
    Child &starting(ClientRecord *c, const std::string &path = "/tmp/watched", int pipeSize = 0)
    {
        std::size_t before = spawns().size();
        data(c, path + std::string(1, '\0'));
        EXPECT_EQ(spawns().size(), before + 1);
        return newChild(spawns().back().result, pipeSize);
    }
    void readable(Child &ch) { EXPECT_EQ(plugin->ExecutableHandler(&ch.record, EXECUTABLE_READABLE), 0); }
    void exited(Child &ch, int status)
    {
        ch.record.Status = status;
        EXPECT_EQ(plugin->ExecutableHandler(&ch.record, EXECUTABLE_EXITED), 0);
    }
    // A client with a running watcher: start byte read, second reply 0 taken.
    Child &running(ClientRecord *c, const std::string &path = "/tmp/watched", int pipeSize = 0)
    {
        Child &ch = starting(c, path, pipeSize);
        ch.writeOut("S");
        readable(ch);
        EXPECT_EQ(takeOut(c), be32(0));
        return ch;
    }
};

// ------------------------------------------------------------------ connect

TEST_F(Dvl, ConnectRepliesZeroOnlyAndCloseSignalsNothing)
{
    ClientRecord *c = connected();
    EXPECT_TRUE(spawns().empty()) << "nothing starts before a path";
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_EQ(liveAllocations(), 1u) << "one node per client";
    deliverClose(c);
    EXPECT_TRUE(kills().empty());
    EXPECT_EQ(logged(LOG_DEBUG, kRemoving), 1);
    EXPECT_EQ(liveAllocations(), 0u);
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(Dvl, InitializeOnlyStoresTheHandle)
{
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(liveAllocations(), 0u);
    EXPECT_EQ(calls(Op::BufferCreate), 0);
    ClientRecord *c = connected();
    starting(c);
    EXPECT_EQ(spawns()[0].handle, handle);
}

// ------------------------------------------------ one failure per client

// A failure while a client connects or while its path is taken: the client
// gets 18 and is closed, one error line says what failed and what was taken
// is given back. When the reply cannot be written either, the client is
// closed without it and both failures are logged.
struct FailureCase {
    const char *name;
    Op op;
    int skip;           // calls that succeed before the failing one
    bool atConnect;     // else while the path is taken
    const char *before; // data sent before the failure (path stage)
    const char *error;
    std::size_t live; // allocations kept until the close event
    bool refused;     // later data starts nothing
};

void PrintTo(const FailureCase &t, std::ostream *os) { *os << t.name; }

class DvlFailure : public Dvl, public ::testing::WithParamInterface<FailureCase> {
protected:
    // A client at the point of the failure, which is armed.
    ClientRecord *armed(bool replyFails)
    {
        const FailureCase &t = GetParam();
        ClientRecord *c = t.atConnect ? newClient() : connected();
        if (*t.before)
            data(c, t.before);
        fail(t.op, t.skip);
        if (replyFails)
            fail(Op::BufferWrite, 0, 1, c->OutBuffer);
        if (t.atConnect)
            connect(c);
        else
            data(c, std::string("/tmp/f\0", 7));
        return c;
    }
};

TEST_P(DvlFailure, ClientGets18AndIsClosedOnce)
{
    const FailureCase &t = GetParam();
    const std::string writeError = t.atConnect ? "write failed on client->OutBuffer." : kWrite;
    ClientRecord *c = armed(false);
    EXPECT_TRUE(spawns().empty());
    EXPECT_EQ(out(c), be32(18));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(errorLines(), std::vector<std::string>{t.error});
    EXPECT_EQ(liveAllocations(), t.live);
    if (t.refused) { // a client without a node is closed again
        data(c, std::string("/again\0", 7));
        EXPECT_TRUE(spawns().empty());
        EXPECT_EQ(out(c), be32(18));
        EXPECT_EQ(closeCount(c), t.atConnect ? 2 : 1);
    }
    deliverClose(c);
    EXPECT_TRUE(kills().empty());
    EXPECT_EQ(logged(kRemoving), static_cast<int>(t.live)) << "the close event removes the node that was kept";

    ClientRecord *d = armed(true);
    EXPECT_EQ(out(d), "");
    EXPECT_EQ(closeCount(d), 1);
    const std::vector<std::string> both =
        t.atConnect ? std::vector<std::string>{writeError, t.error} : std::vector<std::string>{t.error, writeError};
    const std::vector<std::string> lines = errorLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), both);
    EXPECT_EQ(liveAllocations(), t.live);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DvlFailure,
    ::testing::Values(FailureCase{"Node", Op::Malloc, 0, true, "", "malloc failed on dvlClient.", 0, true},
                      FailureCase{"BufferCreate", Op::BufferCreate, 0, true, "", "create dvlClient->Buffer failed.", 0,
                                  true},
                      FailureCase{"GetWriteBlockWhileGathering", Op::GetWriteBlock, 0, false, "/tmp/half",
                                  "getwriteblock failed on dvlClient->Buffer.", 1, true},
                      FailureCase{"ArgvZero", Op::Malloc, 0, false, "", "malloc failed on argv[0].", 1, false},
                      FailureCase{"ArgvOne", Op::Malloc, 1, false, "", "malloc failed on argv[1].", 1, false}),
    [](const auto &info) { return info.param.name; });

TEST_F(Dvl, ReplyZeroOnConnectFailsNodeWaitsForClose)
{
    ClientRecord *c = newClient();
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    connect(c);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(errorLines(), std::vector<std::string>{kWrite});
    EXPECT_EQ(liveAllocations(), 1u) << "the node stays until the close event";
    deliverClose(c);
    EXPECT_EQ(logged(LOG_DEBUG, kRemoving), 1);
    EXPECT_EQ(liveAllocations(), 0u);
}

TEST_F(Dvl, DataWithoutNodeClosesAndReadsNothing)
{
    ClientRecord *c = newClient();
    data(c, "/tmp/x");
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(out(c), "");
    EXPECT_TRUE(spawns().empty());
    EXPECT_TRUE(logs().empty());
}

TEST_F(Dvl, CloseWithoutNodeDoesNothing)
{
    ClientRecord *other = connected();
    ClientRecord *c = newClient();
    deliverClose(c);
    EXPECT_TRUE(logs().empty());
    EXPECT_TRUE(kills().empty());
    EXPECT_EQ(liveAllocations(), 1u) << "the other client's node is untouched";
    deliverClose(other);
}

TEST_F(Dvl, UnknownKindsAreIgnored)
{
    ClientRecord *c = connected();
    EXPECT_EQ(plugin->ClientHandler(c, 7), 0);
    Child &ch = starting(c);
    EXPECT_EQ(plugin->ExecutableHandler(&ch.record, 9), 0);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_TRUE(kills().empty());
}

// --------------------------------------------------------------------- path

TEST_F(Dvl, PathInOnePieceStartsOneWatcher)
{
    setModuleDirectory("/srv/plug ins");
    ClientRecord *c = connected();
    data(c, std::string("/var/log/app.log\0", 17));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].handle, handle);
    EXPECT_EQ(spawns()[0].argv, (std::vector<std::string>{"/srv/plug ins/dorvel.exe", "/var/log/app.log"}));
    EXPECT_EQ(out(c), "") << "no reply when the watcher is started";
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(liveAllocations(), 1u) << "the argument vector is freed";
}

TEST_F(Dvl, PathInManyPieces)
{
    ClientRecord *c = connected();
    const std::string path = "/home/someone/notes/today.txt";
    for (char ch : path) {
        data(c, std::string(1, ch));
        EXPECT_TRUE(spawns().empty());
        EXPECT_EQ(in(c), "");
    }
    data(c, std::string(1, '\0'));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].argv[1], path);
}

TEST_F(Dvl, PathLargerThanOneWriteBlock)
{
    // Pieces of varied sizes, some crossing the point where the node's
    // buffer grows.
    ClientRecord *c = connected();
    std::string path = "/";
    for (int i = 0; path.size() < 4000; ++i)
        path += "dir" + std::to_string(i) + "/";
    data(c, path.substr(0, 1000));
    data(c, path.substr(1000, 3000));
    EXPECT_TRUE(spawns().empty());
    data(c, path.substr(4000) + std::string(1, '\0'));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].argv[1], path);
}

TEST_F(Dvl, PathWithNulFurtherTextAndTrailingBytes)
{
    ClientRecord *c = connected();
    data(c, std::string("/tmp/a\0further text\0trailing", 28));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].argv[1], "/tmp/a");
    EXPECT_EQ(in(c), "") << "trailing bytes are dropped";
    data(c, std::string("/tmp/b\0", 7));
    EXPECT_EQ(spawns().size(), 1u);

    // A piece larger than the path's bound: what lies beyond it is dropped
    // from the input too.
    ClientRecord *d = connected();
    data(d, std::string("/tmp/d\0", 7) + std::string(10000, 'x'));
    ASSERT_EQ(spawns().size(), 2u);
    EXPECT_EQ(spawns()[1].argv[1], "/tmp/d");
    EXPECT_EQ(in(d), "");
}

TEST_F(Dvl, LoneNulStartsWatcherWithEmptyArgument)
{
    ClientRecord *c = connected();
    data(c, std::string(1, '\0'));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].argv, (std::vector<std::string>{"/opt/x/dorvel.exe", ""}));
}

TEST_F(Dvl, BytesAfterThePathAreDiscardedInEveryState)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    data(c, std::string("late\0bytes\0", 11));
    EXPECT_EQ(in(c), "");
    ch.writeOut("S");
    readable(ch);
    EXPECT_EQ(takeOut(c), be32(0));
    data(c, std::string("/tmp/other\0", 11));
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(spawns().size(), 1u);
    EXPECT_EQ(out(c), "") << "discarded input is never answered";
}

TEST_F(Dvl, PathOf4096BytesIsAccepted)
{
    // With the node's buffer capped at the bound, holding one byte more
    // would show as a write-block failure.
    setPluginBufferCap(4097);
    ClientRecord *c = connected();
    const std::string path = "/" + std::string(4095, 'p');
    data(c, path.substr(0, 2048));
    data(c, path.substr(2048) + std::string(1, '\0'));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].argv[1], path);
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(Dvl, PathLongerThan4096BytesIsRefused)
{
    setPluginBufferCap(4097);
    ClientRecord *c = connected();
    data(c, "/" + std::string(4096, 'q') + std::string(1, '\0'));
    EXPECT_TRUE(spawns().empty());
    EXPECT_EQ(out(c), be32(18));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(errorLines(), std::vector<std::string>{"path longer than 4096 bytes."});
    // Refused for good: a later path is discarded.
    data(c, std::string("/ok\0", 4));
    EXPECT_TRUE(spawns().empty());
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(out(c), be32(18));
    deliverClose(c);
    EXPECT_TRUE(kills().empty());
}

TEST_F(Dvl, LongPathInPiecesIsRefusedWhenItCrossesTheBound)
{
    setPluginBufferCap(4097);
    ClientRecord *c = connected();
    for (int i = 0; i < 4; ++i)
        data(c, std::string(1024, 'a'));
    EXPECT_EQ(closeCount(c), 0) << "4096 bytes may still be a path";
    data(c, std::string(1 << 20, 'b'));
    EXPECT_EQ(out(c), be32(18));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(logged(LOG_ERROR, "path longer than 4096 bytes."), 1);
    EXPECT_EQ(calls(Op::GetWriteBlock), 5) << "one block per piece, never more than the bound";
}

TEST_F(Dvl, SpawnMinusOneAwaitsAPathAgain)
{
    ClientRecord *c = connected();
    queueSpawnResult(-1);
    data(c, std::string("/first\0", 7));
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 0);
    data(c, std::string("/second\0", 8));
    ASSERT_EQ(spawns().size(), 2u);
    EXPECT_EQ(spawns()[1].argv[1], "/second") << "the buffer was emptied by the first try";
    deliverClose(c);
    EXPECT_EQ(kills(), terms({spawns()[1].result}));
}

TEST_F(Dvl, SpawnOtherNegativeStopsTheConversation)
{
    for (int code : {SPAWN_NOT_EXECUTABLE, SPAWN_NO_RESOURCES, -2, -100}) {
        ClientRecord *c = connected();
        queueSpawnResult(code);
        data(c, std::string("/f\0", 3));
        data(c, std::string("/g\0", 3));
        EXPECT_EQ(in(c), "");
        EXPECT_EQ(out(c), "");
        EXPECT_EQ(closeCount(c), 0);
        // No watcher's event can match the node.
        Child &stray = newChild(4000 - code);
        stray.writeOut("S");
        readable(stray);
        exited(stray, 0);
        EXPECT_EQ(out(c), "");
        deliverClose(c);
    }
    EXPECT_EQ(spawns().size(), 4u);
    EXPECT_EQ(kills(), terms({4003, 4004, 4002, 4100})) << "only the strays, which have no node";
    EXPECT_TRUE(errorLines().empty());
}

// ------------------------------------------------------------ start and relay

TEST_F(Dvl, StartByteBecomesReplyZeroBeforeAnyRecord)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    ch.writeOut("S" + record("hello"));
    readable(ch);
    EXPECT_EQ(out(c), be32(0) + relayed("hello"));
    EXPECT_EQ(be32At(out(c), 4), 5u);
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(Dvl, LengthIsMadeBigEndian)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(std::string("\x05\x00\x00\x00"
                            "abcde",
                            9));
    readable(ch);
    EXPECT_EQ(out(c), std::string("\x00\x00\x00\x05"
                                  "abcde",
                                  9));
}

TEST_F(Dvl, StartByteThatWouldBlockKeepsTheWatcherStarting)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    readable(ch);
    EXPECT_EQ(out(c), "");
    EXPECT_TRUE(errorLines().empty());
    ch.writeOut("S" + record("v1"));
    readable(ch);
    EXPECT_EQ(out(c), be32(0) + relayed("v1")) << "the late byte is still the start byte";
}

TEST_F(Dvl, StartByteAtEndOfFileLeavesTheNodeStarting)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    ch.closeOut();
    readable(ch);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 0);
    deliverClose(c);
    EXPECT_EQ(kills(), terms({ch.record.Pid})) << "still starting: signalled by its process id";
}

TEST_F(Dvl, StartByteReadInterruptedIsRepeated)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    ch.writeOut("S" + record("x"));
    failRead(ch.record.StdOut, EINTR);
    readable(ch);
    EXPECT_EQ(out(c), be32(0) + relayed("x"));
}

TEST_F(Dvl, StartByteReadFails)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    failRead(ch.record.StdOut, EIO);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"read failed on executable->StdOut.  Input/output error."});
    EXPECT_EQ(kills(), terms({ch.record.Pid}));
    EXPECT_EQ(out(c), "") << "nothing yet; the empty pipe ends the reading";
    EXPECT_EQ(closeCount(c), 0);
}

TEST_F(Dvl, StartByteAndOutputReadsFail)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    failRead(ch.record.StdOut, EIO, 2);
    readable(ch);
    EXPECT_EQ(errorLines(), (std::vector<std::string>{"read failed on executable->StdOut.  Input/output error.",
                                                      "read failed on current->Executable->StdOut."}));
    EXPECT_EQ(kills(), terms({ch.record.Pid, ch.record.Pid}));
    EXPECT_EQ(out(c), be32(23));
    EXPECT_EQ(closeCount(c), 1);
}

TEST_F(Dvl, ReplyZeroWriteFailsButReadingGoesOn)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    ch.writeOut("S" + record("abc"));
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{kWrite});
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(out(c), relayed("abc"));
    deliverClose(c);
    EXPECT_EQ(kills(), terms({ch.record.Pid}));
}

TEST_F(Dvl, RecordsSplitAcrossReads)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    const std::string r = record("0123456789");
    for (std::size_t i = 0; i + 1 < r.size(); ++i) {
        ch.writeOut(r.substr(i, 1));
        readable(ch);
        EXPECT_EQ(out(c), "") << "incomplete after " << i + 1 << " bytes";
    }
    ch.writeOut(r.substr(r.size() - 1));
    readable(ch);
    EXPECT_EQ(out(c), relayed("0123456789"));
}

TEST_F(Dvl, LargeRecordOverManyEventsArrivesWhole)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 251);
    const std::string r = record(content) + record("tail");
    for (std::size_t at = 0; at < r.size(); at += 30000) {
        ch.writeOut(r.substr(at, 30000));
        readable(ch);
        if (at + 30000 < content.size() + 4) {
            EXPECT_EQ(out(c), "");
        }
    }
    EXPECT_EQ(out(c), relayed(content) + relayed("tail"));
}

TEST_F(Dvl, RecordOfLengthZero)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("") + record("z"));
    readable(ch);
    EXPECT_EQ(out(c), be32(0) + relayed("z"));
}

TEST_F(Dvl, SeveralRecordsInOneEvent)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    const std::string third(100, 'c');
    ch.writeOut(record("first") + record("second") + record(third) + record("fourth").substr(0, 6));
    readable(ch);
    EXPECT_EQ(out(c), relayed("first") + relayed("second") + relayed(third));
    takeOut(c);
    ch.writeOut(record("fourth").substr(6));
    readable(ch);
    EXPECT_EQ(out(c), relayed("fourth"));
}

TEST_F(Dvl, DebugLinesCountTheBytesRead)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    const std::size_t before = logs().size();
    ch.writeOut(record("hello"));
    readable(ch);
    std::vector<std::string> lines;
    for (std::size_t i = before; i < logs().size(); ++i) {
        EXPECT_EQ(logs()[i].level, LOG_DEBUG);
        lines.push_back(logs()[i].text);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"reading from current->Executable->StdOut to current->Buffer.",
                                               "read 9 bytes from current->Executable->StdOut.",
                                               "reading from current->Executable->StdOut to current->Buffer.",
                                               "read a total of 9 bytes from current->Executable->StdOut."}));
}

TEST_F(Dvl, OutputReadInterruptedIsRepeated)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("after eintr"));
    failRead(ch.record.StdOut, EINTR);
    readable(ch);
    EXPECT_EQ(out(c), relayed("after eintr"));
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(Dvl, OutputReadFailsStopsTheWatcherWith23)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("unread"));
    failRead(ch.record.StdOut, EIO);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"read failed on current->Executable->StdOut."});
    EXPECT_EQ(kills(), terms({ch.record.Pid}));
    EXPECT_EQ(out(c), be32(23));
    EXPECT_EQ(closeCount(c), 1);

    ClientRecord *d = connected();
    Child &dh = running(d);
    failRead(dh.record.StdOut, EBADF);
    fail(Op::BufferWrite, 0, 1, d->OutBuffer);
    readable(dh);
    EXPECT_EQ(out(d), "");
    EXPECT_EQ(closeCount(d), 1);
    EXPECT_EQ(errorLines().back(), kWrite);
}

TEST_F(Dvl, NoBlockForTheStartByte)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    ch.writeOut("S");
    fail(Op::GetWriteBlock);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"getwriteblock failed on current->Buffer."});
    EXPECT_EQ(out(c), be32(18));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(drain(ch.record.StdOut), "S") << "nothing was read";
}

TEST_F(Dvl, NoBlockForTheOutput)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("v"));
    fail(Op::GetWriteBlock);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"getwriteblock failed on current->Buffer."});
    EXPECT_EQ(out(c), be32(18));
    EXPECT_EQ(closeCount(c), 1);

    ClientRecord *d = connected();
    Child &dh = running(d);
    dh.writeOut(record("v"));
    fail(Op::GetWriteBlock);
    fail(Op::BufferWrite, 0, 1, d->OutBuffer);
    readable(dh);
    EXPECT_EQ(out(d), "");
    EXPECT_EQ(errorLines().back(), kWrite);
    EXPECT_EQ(errorLines().size(), 3u);
}

TEST_F(Dvl, LengthWordWriteFailsKeepsTheRecord)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("kept"));
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{kWrite});
    EXPECT_EQ(out(c), "") << "nothing of the record";
    EXPECT_EQ(closeCount(c), 1);
    // The record is still whole in the node's buffer.
    readable(ch);
    EXPECT_EQ(out(c), relayed("kept"));
}

TEST_F(Dvl, OutBufferGrantsNoBlockBeforeTheContents)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("content"));
    fail(Op::GetWriteBlock, 0, 1, c->OutBuffer);
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"getwriteblock failed current->Client->OutBuffer."});
    EXPECT_EQ(out(c), be32(7) + be32(18)) << "the length word already sent, then 18";
    EXPECT_EQ(closeCount(c), 1);
}

TEST_F(Dvl, OutBufferFullInTheMiddleOfARecord)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    c->OutBuffer->setCap(4 + 3);
    ch.writeOut(record("abcdefgh"));
    readable(ch);
    EXPECT_EQ(out(c), be32(8) + "abc") << "the part already copied";
    EXPECT_EQ(errorLines(), (std::vector<std::string>{"getwriteblock failed current->Client->OutBuffer.", kWrite}));
    EXPECT_EQ(closeCount(c), 1);
}

TEST_F(Dvl, NegativeLengthBreaksTheStream)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("good") + host32(-1) + "junk");
    readable(ch);
    EXPECT_EQ(out(c), relayed("good") + be32(23));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(kills(), terms({ch.record.Pid}));
    EXPECT_EQ(errorLines(), std::vector<std::string>{"bad record length -1 on current->Executable->StdOut."});
    // The watcher is followed no further: its exit adds nothing, the close
    // event signals nothing more.
    exited(ch, 0);
    EXPECT_EQ(out(c), relayed("good") + be32(23));
    deliverClose(c);
    EXPECT_EQ(kills().size(), 1u);
}

TEST_F(Dvl, LengthAboveTheLargestRecordBreaksTheStream)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(host32(0x7FFFFFFC));
    readable(ch);
    EXPECT_EQ(out(c), be32(23));
    EXPECT_EQ(kills(), terms({ch.record.Pid}));

    ClientRecord *d = connected();
    Child &dh = running(d);
    dh.writeOut(host32(0x7FFFFFFB) + "partial");
    readable(dh);
    EXPECT_EQ(out(d), "") << "2^31 - 5 is a valid length that waits for its bytes";
    EXPECT_EQ(closeCount(d), 0);
    EXPECT_EQ(kills().size(), 1u);
}

// ------------------------------------------------------------------ exits

TEST_F(Dvl, ExitBeforeStartByte)
{
    ClientRecord *c = connected();
    Child &ch = starting(c);
    exited(ch, 0);
    EXPECT_EQ(out(c), be32(25)) << "no second reply 0";
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_TRUE(errorLines().empty());
    deliverClose(c);
    EXPECT_TRUE(kills().empty());
}

TEST_F(Dvl, ExitWithStatusIsLoggedOnce)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("whole") + host32(50) + "part");
    readable(ch);
    exited(ch, 11);
    EXPECT_EQ(out(c), relayed("whole") + be32(25)) << "the incomplete record is dropped";
    EXPECT_EQ(errorLines(), std::vector<std::string>{"executable exited with a status of 11."});
    EXPECT_EQ(closeCount(c), 1);
}

TEST_F(Dvl, ExitReplyWriteFails)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    exited(ch, 143);
    EXPECT_EQ(errorLines(), (std::vector<std::string>{"executable exited with a status of 143.", kWrite}));
    EXPECT_EQ(closeCount(c), 1);
}

TEST_F(Dvl, AfterTheExitTheRecordIsNeverReadNorItsPidSignalled)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    exited(ch, 0);
    EXPECT_EQ(out(c), be32(25));
    // The record is invalid now and its pid may belong to another process.
    ch.record.Pid = 31337;
    deliverClose(c);
    EXPECT_TRUE(kills().empty());
    EXPECT_EQ(logged(LOG_DEBUG, kRemoving), 1);

    ClientRecord *d = connected();
    Child &dh = running(d);
    exited(dh, 0);
    dh.record.Pid = 31338;
    plugin->Dispose();
    EXPECT_TRUE(kills().empty());
}

TEST_F(Dvl, ReadableWithoutNodeSignalsAndReadsNothing)
{
    Child &stray = newChild(777);
    stray.writeOut("S" + record("x"));
    readable(stray);
    EXPECT_EQ(kills(), terms({777}));
    EXPECT_EQ(drain(stray.record.StdOut), "S" + record("x"));

    ClientRecord *c = connected();
    Child &ch = running(c);
    deliverClose(c);
    EXPECT_EQ(kills(), terms({777, ch.record.Pid}));
    ch.writeOut(record("late"));
    readable(ch);
    EXPECT_EQ(kills(), terms({777, ch.record.Pid, ch.record.Pid}));
    EXPECT_EQ(drain(ch.record.StdOut), record("late"));
    exited(ch, 1);
    EXPECT_TRUE(errorLines().empty()) << "an exit without a node logs nothing";
    EXPECT_EQ(kills().size(), 3u);
}

TEST_F(Dvl, RecordWithoutProcessIdIsNeverSignalled)
{
    // A running node has ID 0: a record whose Pid is 0 must not match it.
    ClientRecord *c = connected();
    Child &ch = running(c);
    Child &zero = newChild(0);
    zero.writeOut(record("not mine"));
    readable(zero);
    Child &negative = newChild(-7);
    readable(negative);
    EXPECT_TRUE(kills().empty());
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(drain(zero.record.StdOut), record("not mine"));
    exited(zero, 0);
    EXPECT_EQ(closeCount(c), 0);
    ch.writeOut(record("mine"));
    readable(ch);
    EXPECT_EQ(out(c), relayed("mine"));
}

// ------------------------------------------------------- close and Dispose

TEST_F(Dvl, CloseSignalsTheWatcherOnce)
{
    ClientRecord *a = connected();
    Child &starting_ = starting(a);
    ClientRecord *b = connected();
    Child &running_ = running(b);
    deliverClose(a);
    EXPECT_EQ(kills(), terms({starting_.record.Pid}));
    deliverClose(b);
    EXPECT_EQ(kills(), terms({starting_.record.Pid, running_.record.Pid}));
    deliverClose(b);
    EXPECT_EQ(kills().size(), 2u) << "a second close finds no node";
    EXPECT_EQ(logged(LOG_DEBUG, kRemoving), 2);
}

TEST_F(Dvl, RunningWatcherIsSignalledThroughItsRecord)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    // Were the process id kept instead of the record, this change would not
    // show.
    ch.record.Pid = 5150;
    deliverClose(c);
    EXPECT_EQ(kills(), terms({5150}));
}

TEST_F(Dvl, ClosingOneClientKeepsTheOthers)
{
    ClientRecord *a = connected();
    ClientRecord *b = connected();
    ClientRecord *c = connected();
    Child &ha = running(a);
    Child &hb = running(b);
    Child &hc = running(c);
    deliverClose(b); // the middle of the list
    ha.writeOut(record("to a"));
    hc.writeOut(record("to c"));
    readable(ha);
    readable(hc);
    EXPECT_EQ(out(a), relayed("to a"));
    EXPECT_EQ(out(c), relayed("to c"));
    deliverClose(c); // the head
    hb.writeOut(record("b"));
    readable(hb);
    EXPECT_EQ(out(b), "");
    EXPECT_EQ(kills(), terms({hb.record.Pid, hc.record.Pid, hb.record.Pid}));
    EXPECT_EQ(liveAllocations(), 1u);
}

TEST_F(Dvl, DisposeWithSeveralClients)
{
    ClientRecord *awaiting = connected();
    ClientRecord *partial = connected();
    data(partial, "/half");
    ClientRecord *startingClient = connected();
    Child &s = starting(startingClient);
    ClientRecord *runningClient = connected();
    Child &r = running(runningClient);
    ClientRecord *exitedClient = connected();
    Child &e = running(exitedClient);
    exited(e, 0);
    ClientRecord *failedClient = connected();
    queueSpawnResult(SPAWN_NO_RESOURCES);
    data(failedClient, std::string("/f\0", 3));
    ClientRecord *broken = connected();
    Child &b = running(broken);
    b.writeOut(host32(-5));
    readable(b);

    std::vector<std::string> before;
    std::vector<int> closesBefore;
    std::vector<ClientRecord *> all{awaiting,     partial,      startingClient, runningClient,
                                    exitedClient, failedClient, broken};
    for (ClientRecord *c : all) {
        before.push_back(out(c));
        closesBefore.push_back(closeCount(c));
    }
    const auto killsBefore = kills();
    const int removedBefore = logged(kRemoving);

    plugin->Dispose();

    auto expected = killsBefore;
    auto more = terms({r.record.Pid, s.record.Pid});
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(kills(), expected) << "once per started watcher not yet exited, newest first";
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(out(all[i]), before[i]) << "Dispose writes nothing";
        EXPECT_EQ(closeCount(all[i]), closesBefore[i]) << "Dispose closes nothing";
    }
    EXPECT_EQ(logged(LOG_DEBUG, kRemoving) - removedBefore, 7);
    EXPECT_EQ(liveAllocations(), 0u);
    // The list is empty: a late close or exit finds nothing.
    deliverClose(runningClient);
    exited(r, 0);
    EXPECT_EQ(kills(), expected);
}

// ------------------------------------------------------------ other calls

TEST_F(Dvl, WriteReadyTimeoutAndIOOnlyLog)
{
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("untouched"));
    EXPECT_EQ(plugin->ExecutableHandler(&ch.record, EXECUTABLE_WRITE_READY), 0);
    EXPECT_EQ(plugin->TimeoutHandler(nullptr), 0);
    EXPECT_EQ(plugin->IOHandler(nullptr), 0);
    EXPECT_EQ(logged(LOG_FATAL, "ExecutableHandler called in dvl with ExecutableWriteReady."), 1);
    EXPECT_EQ(logged(LOG_FATAL, "TimoutHandler called in dvl."), 1);
    EXPECT_EQ(logged(LOG_FATAL, "IOHandler called in dvl."), 1);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(ch.readIn(), "") << "nothing is written to the watcher";
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_TRUE(kills().empty());
    readable(ch);
    EXPECT_EQ(out(c), relayed("untouched")) << "its output was left in the pipe";
}

TEST_F(Dvl, MessagesOnlyAtEnabledLevels)
{
    setLogLevel(1);
    ClientRecord *c = connected();
    Child &ch = running(c);
    ch.writeOut(record("quiet"));
    readable(ch);
    exited(ch, 9);
    deliverClose(c);
    ClientRecord *d = newClient();
    fail(Op::Malloc);
    connect(d);
    EXPECT_TRUE(logs().empty()) << "no error or debug line at level 1";
    EXPECT_EQ(plugin->IOHandler(nullptr), 0);
    EXPECT_EQ(logs().size(), 1u);

    setLogLevel(0);
    EXPECT_EQ(plugin->TimeoutHandler(nullptr), 0);
    EXPECT_EQ(logs().size(), 1u);

    setLogLevel(LOG_INFO);
    ClientRecord *e = connected();
    Child &eh = running(e);
    eh.writeOut(record("info"));
    readable(eh);
    exited(eh, 2);
    deliverClose(e);
    ASSERT_EQ(logs().size(), 2u) << "errors but no debug lines at level 4";
    EXPECT_EQ(logs()[1].text, "executable exited with a status of 2.");
}

// ------------------------------------------------------------ slow followers

std::string content(int version, std::size_t size)
{
    std::string s(size, static_cast<char>('a' + version % 26));
    const std::string head = "version " + std::to_string(version) + "\n";
    s.replace(0, std::min(size, head.size()), head.substr(0, std::min(size, head.size())));
    return s;
}

// Two versions that arrive together and fit the plug-in's buffer one at a
// time (not both) are both relayed: each leaves as soon as it is complete.
TEST_F(Dvl, TwoVersionsArrivingTogetherAreRelayedEachAsSoonAsComplete)
{
    setPluginBufferCap(512 * 1024);
    ClientRecord *c = connected();
    Child &ch = running(c, "/tmp/watched", 1 << 20);
    const std::string v1 = content(1, 400000), v2 = content(2, 400000);
    ch.writeOut(record(v1) + record(v2));
    readable(ch);
    EXPECT_EQ(errorLines(), std::vector<std::string>{});
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_EQ(out(c), relayed(v1) + relayed(v2));
}

struct SlowCase {
    const char *name;
    const char *watermark; // setting, or null for the default of 1 MiB
    std::size_t limit;     // the watermark in bytes
    std::size_t size;      // of each version
    int versions;
};

void PrintTo(const SlowCase &t, std::ostream *os) { *os << t.name; }

class DvlSlow : public Dvl, public ::testing::WithParamInterface<SlowCase> {};

// The watcher writes its versions as fast as the pipe takes them; the client
// takes its output only now and then. The plug-in stops reading at the
// watermark (stdout suspended, a drain watch at 0), never answers 18, holds
// at most the watermark plus one version unsent, and goes on where it
// stopped when the client has drained: every version arrives whole, in order.
TEST_P(DvlSlow, FollowerIsHeldAtTheWatermarkAndGetsEveryVersionInOrder)
{
    const SlowCase &t = GetParam();
    if (t.watermark)
        setPluginOption("output-watermark", t.watermark);
    plugin->Initialize(handle);
    ClientRecord *c = connected();
    Child &ch = running(c, "/tmp/watched", 1 << 20);
    std::string pending, expected;
    for (int i = 0; i < t.versions; i++) {
        pending += record(content(i, t.size));
        expected += relayed(content(i, t.size));
    }
    std::string received;
    std::size_t most = 0;
    int waits = 0;
    for (int round = 0; round < 10000 && received.size() < expected.size(); round++) {
        const ssize_t n = ::write(ch.childOut, pending.data(), pending.size());
        if (n > 0)
            pending.erase(0, static_cast<std::size_t>(n));
        if (!ch.stdoutSuspended)
            readable(ch);
        most = std::max(most, c->OutBuffer->size());
        if (ch.stdoutSuspended) {
            ++waits;
            EXPECT_EQ(flow(c).watchLevel, 0);
            received += takeOut(c); // the client reads; the host reports the drain
            ASSERT_TRUE(deliverOutputLow(*plugin, c));
        } else {
            received += takeOut(c);
        }
    }
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "versions lost, cut or out of order";
    EXPECT_GT(waits, 0) << "the watermark was never reached";
    EXPECT_EQ(ch.stdoutSuspends, waits);
    EXPECT_EQ(ch.stdoutResumes, waits);
    EXPECT_LE(most, t.limit + t.size + 4) << "unsent output beyond the watermark and one version";
    EXPECT_EQ(errorLines(), std::vector<std::string>{});
    EXPECT_EQ(closeCount(c), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, DvlSlow,
                         ::testing::Values(SlowCase{"Default", nullptr, 1 << 20, 100000, 40},
                                           SlowCase{"SmallVersions", "64KiB", 64 * 1024, 1000, 500},
                                           SlowCase{"VersionsAboveTheWatermark", "16k", 16 * 1024, 100000, 12}),
                         [](const auto &info) { return info.param.name; });

// While its output is suspended nothing is read for a follower (the host
// sends no readable event then; one that comes anyway is ignored); the
// watcher's exit still ends the conversation with 25; a drain after that
// finds no watcher. A bad setting keeps the default.
TEST_F(Dvl, SuspendedFollowerReadsNothingAndItsWatchersExitStillEndsIt)
{
    setPluginOption("output-watermark", "lots");
    plugin->Initialize(handle);
    EXPECT_EQ(errorLines(), std::vector<std::string>{
                                "bad value \"lots\" for the setting dvl_handler.output-watermark; 1048576 is used."});
    ClientRecord *c = connected();
    Child &ch = running(c, "/tmp/watched", 1 << 20);
    const std::string big = content(1, 500000);
    ch.writeOut(record(big) + record(big));
    readable(ch);
    EXPECT_FALSE(ch.stdoutSuspended) << "below the watermark";
    ch.writeOut(record(big));
    readable(ch);
    ASSERT_TRUE(ch.stdoutSuspended);
    const std::string three = relayed(big) + relayed(big) + relayed(big);
    EXPECT_EQ(out(c), three);
    ch.writeOut(record("later"));
    const std::size_t readsBefore = reads().size();
    readable(ch);
    EXPECT_EQ(reads().size(), readsBefore) << "read while suspended";
    exited(ch, 0);
    EXPECT_EQ(out(c), three + be32(25));
    EXPECT_EQ(closeCount(c), 1);
    takeOut(c);
    EXPECT_TRUE(deliverOutputLow(*plugin, c));
    EXPECT_EQ(ch.stdoutResumes, 0) << "no watcher to resume";
    deliverClose(c);
    EXPECT_TRUE(kills().empty()) << "the exited watcher is not signalled";
}

} // namespace
