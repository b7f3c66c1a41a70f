// The image plug-in's start-up and shutdown: argument vectors, the
// Initialize failure table, Dispose and the two logging exports.
#include <cerrno>
#include <climits>

#include "ov_test.h"

using namespace ovtest;

class OvStartup : public OvTest {};

TEST_F(OvStartup, VectorsExactWithSizes)
{
    int before = openDescriptors();
    init();
    EXPECT_EQ(spawns()[0].handle, handle);
    EXPECT_EQ(spawns()[0].argv, (std::vector<std::string>{"/opt/x/orvane.exe", "-l", "5", "-s", "1048576"}));
    EXPECT_EQ(spawns()[1].handle, handle);
    EXPECT_EQ(spawns()[1].argv, (std::vector<std::string>{"unclutter", "-root", "-onescreen"}));
    EXPECT_EQ(allocationSizes(), (std::vector<std::size_t>{18, 3, 12, 3, 20, 10, 6, 11}));
    EXPECT_EQ(liveAllocations(), 0u) << "the vectors are freed after their spawn";
    EXPECT_TRUE(kills().empty());
    EXPECT_EQ(openDescriptors(), before + 1) << "the random source is open";
    dispose();
    EXPECT_EQ(openDescriptors(), before) << "Dispose closes the random source";
}

TEST_F(OvStartup, ModuleDirectorySizesElementZero)
{
    setModuleDirectory("/usr/lib/plughost/modules");
    init();
    EXPECT_EQ(spawns()[0].argv[0], "/usr/lib/plughost/modules/orvane.exe");
    EXPECT_EQ(allocationSizes().at(0), std::string("/usr/lib/plughost/modules/orvane.exe").size() + 1);
    dispose();
}

class OvLogLevel : public OvTest, public ::testing::WithParamInterface<std::pair<int, const char *>> {};

TEST_P(OvLogLevel, ElementTwoFitsAnyLevel)
{
    setLogLevel(GetParam().first);
    init();
    EXPECT_EQ(spawns()[0].argv.at(2), GetParam().second);
    EXPECT_EQ(allocationSizes().at(2), 12u);
    dispose();
}

INSTANTIATE_TEST_SUITE_P(Levels, OvLogLevel,
                         ::testing::Values(std::make_pair(5, "5"), std::make_pair(100, "100"),
                                           std::make_pair(-9, "-9"), std::make_pair(INT_MIN, "-2147483648"),
                                           std::make_pair(INT_MAX, "2147483647")));

TEST_F(OvStartup, MaxSizeOfTwentyCharactersGetsSecondString)
{
    setLogMaxSize(LLONG_MIN);
    init();
    EXPECT_EQ(spawns()[0].argv.at(4), "-9223372036854775808");
    EXPECT_EQ(allocationSizes(), (std::vector<std::size_t>{18, 3, 12, 3, 20, 21, 10, 6, 11}));
    EXPECT_EQ(liveAllocations(), 0u);
    dispose();
}

TEST_F(OvStartup, LargestMaxSizeFitsFirstString)
{
    setLogMaxSize(LLONG_MAX);
    init();
    EXPECT_EQ(spawns()[0].argv.at(4), "9223372036854775807");
    EXPECT_EQ(allocationSizes(), (std::vector<std::size_t>{18, 3, 12, 3, 20, 10, 6, 11}));
    dispose();
}

// One row of the Initialize failure table.
struct InitFailure {
    const char *name;
    Op op;
    int after;
    const char *message;
    uint32_t code;        // what a client receives afterwards
    std::size_t spawned;  // children started before the failure
    long long maxSize;
};

void PrintTo(const InitFailure &row, std::ostream *os) { *os << row.name; }

class OvInitFailure : public OvTest, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(OvInitFailure, LeavesNothingBehindAndRefusesClients)
{
    const InitFailure &row = GetParam();
    setLogMaxSize(row.maxSize);
    fail(row.op, row.after, 1);
    int before = openDescriptors();
    plugin->Initialize(handle);
    EXPECT_EQ(logged(LOG_ERROR, row.message), 1);
    EXPECT_EQ(logs().size(), 1u);
    EXPECT_EQ(liveAllocations(), 0u);
    EXPECT_EQ(openDescriptors(), before) << "no random source after a failure";
    ASSERT_EQ(spawns().size(), row.spawned);
    EXPECT_EQ(refusal(), row.code);

    if (row.spawned > 0) {
        // The viewer was started and is stopped again; its start byte and its
        // exit change nothing.
        int pid = spawns()[0].result;
        EXPECT_EQ(killsOf(pid), 1);
        Child &v = newChild(pid);
        v.writeOut("S");
        failRead(v.record.StdOut, EIO);
        readable(v);
        EXPECT_EQ(kills().size(), 1u) << "a failed read signals nobody";
        readable(v);
        EXPECT_EQ(v.readIn(), "");
        EXPECT_EQ(refusal(), row.code) << "the start byte must not make the viewer ready";
        exited(v, 143);
        EXPECT_EQ(spawns().size(), row.spawned) << "no restart";
        EXPECT_EQ(refusal(), row.code);
    }
    std::size_t killsBefore = kills().size();
    dispose();
    std::size_t expectKills = row.spawned == 2 ? 1 : 0; // unclutter
    EXPECT_EQ(kills().size(), killsBefore + expectKills);
    if (row.spawned == 2) {
        EXPECT_EQ(killsOf(spawns()[1].result), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OvInitFailure,
    ::testing::Values(
        InitFailure{"Argv0", Op::Malloc, 0, "malloc failed on orvane argv[0].", 19, 0, 1048576},
        InitFailure{"Argv1", Op::Malloc, 1, "malloc failed on orvane argv[1].", 23, 0, 1048576},
        InitFailure{"Argv2", Op::Malloc, 2, "malloc failed on orvane argv[2].", 23, 0, 1048576},
        InitFailure{"Argv3", Op::Malloc, 3, "malloc failed on orvane argv[3].", 23, 0, 1048576},
        InitFailure{"Argv4", Op::Malloc, 4, "malloc failed on orvane argv[4].", 23, 0, 1048576},
        InitFailure{"Argv4Replacement", Op::Malloc, 5, "malloc failed on orvane argv[4].", 23, 0, LLONG_MIN},
        InitFailure{"Unclutter0", Op::Malloc, 5, "malloc failed on unclutter argv[0].", 19, 1, 1048576},
        InitFailure{"Unclutter1", Op::Malloc, 6, "malloc failed on unclutter argv[1].", 19, 1, 1048576},
        InitFailure{"Unclutter2", Op::Malloc, 7, "malloc failed on unclutter argv[2].", 19, 1, 1048576},
        InitFailure{"Buffer", Op::BufferCreate, 0, "create ov buffer failed.", 19, 2, 1048576},
        InitFailure{"Queue", Op::QueueCreate, 0, "create ov q failed.", 19, 2, 1048576}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(OvStartup, FailureLogsNothingWhenErrorLevelIsOff)
{
    setLogLevel(1);
    fail(Op::Malloc, 2, 1);
    plugin->Initialize(handle);
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(refusal(), 23u);
    dispose();
}

// A failed spawn is no failure of Initialize: the rest is set up and clients
// are refused with the mapped code.
class OvSpawnResult : public OvTest, public ::testing::WithParamInterface<std::pair<int, uint32_t>> {};

TEST_P(OvSpawnResult, RefusedWithMappedCode)
{
    queueSpawnResult(GetParam().first);
    init();
    EXPECT_EQ(spawns()[0].result, GetParam().first);
    EXPECT_GT(spawns()[1].result, 0) << "unclutter is still started";
    ClientRecord *c = newClient();
    connect(c);
    EXPECT_EQ(out(c), be32(GetParam().second));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(liveAllocations(), 0u) << "no node for a refused client";
    plugin->Dispose();
    EXPECT_EQ(kills(), (std::vector<std::pair<int, int>>{{unclutterPid, SIGTERM}}));
}

INSTANTIATE_TEST_SUITE_P(Codes, OvSpawnResult,
                         ::testing::Values(std::make_pair(-3, 20u), std::make_pair(-4, 21u),
                                           std::make_pair(-8, 29u), std::make_pair(-1000, 29u)));

TEST_F(OvStartup, RefusalWriteFailureIsLoggedAndClosed)
{
    queueSpawnResult(-3);
    init();
    ClientRecord *c = newClient();
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    connect(c);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->OutBuffer."), 1);
    EXPECT_EQ(closeCount(c), 1);
    dispose();
}

TEST_F(OvStartup, DisposeWhileStartingSignalsPidInOvID)
{
    init();
    plugin->Dispose();
    EXPECT_EQ(kills(), (std::vector<std::pair<int, int>>{{viewerPid, SIGTERM}, {unclutterPid, SIGTERM}}));
}

TEST_F(OvStartup, DisposeWhenReadySignalsTheRecordsPid)
{
    init();
    viewer();
    plugin->Dispose();
    EXPECT_EQ(kills(), (std::vector<std::pair<int, int>>{{viewerPid, SIGTERM}, {unclutterPid, SIGTERM}}));
}

TEST_F(OvStartup, DisposeFreesEveryJobOnceIncludingOwnerlessHead)
{
    init();
    Child &v = viewer();
    ClientRecord *leaver = admitted();
    data(leaver, fillRequest(1)); // head, being served
    ClientRecord *c = admitted();
    data(c, fillRequest(2) + queryRequest(1, 0) + showRequest(2, 2, 0, 0, pattern(12)));
    deliverClose(leaver);
    EXPECT_EQ(v.readIn(), frame(-1, 1, 0, 0));
    (void)c;
    dispose(); // the sanitizer build reports a double free
}

TEST_F(OvStartup, LoggingExportsAtFatalLevel)
{
    init();
    EXPECT_EQ(plugin->TimeoutHandler(nullptr), 0);
    EXPECT_EQ(plugin->IOHandler(reinterpret_cast<void *>(0x1)), 0);
    EXPECT_EQ(logged(LOG_FATAL, "TimeoutHandler called in ov."), 1);
    EXPECT_EQ(logged(LOG_FATAL, "IOHandler called in ov."), 1);
    setLogLevel(0);
    EXPECT_EQ(plugin->TimeoutHandler(nullptr), 0);
    EXPECT_EQ(plugin->IOHandler(nullptr), 0);
    EXPECT_EQ(logs().size(), 2u);
    dispose();
}
