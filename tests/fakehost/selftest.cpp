// The fake host checked against a probe plug-in: what plug-in unit tests rely
// on (fresh statics per load, recorded calls, injected failures, leak count).
#include <cerrno>
#include <csignal>

#include "abi_types.h"
#include "fake_host.h"

using namespace fakehost;

class FakeHost : public PluginTest {};

TEST_F(FakeHost, EchoAndInjectedWriteFailure)
{
    plugin->Initialize(handle);
    ClientRecord *c = newClient();
    data(c, "hello");
    EXPECT_EQ(out(c), "hello");
    EXPECT_EQ(in(c), "");
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    data(c, "again");
    EXPECT_EQ(out(c), "hello");
    EXPECT_EQ(closeCount(c), 1);
    data(c, "third");
    EXPECT_EQ(out(c), "hellothird") << "a plan with times 1 fails once";
    plugin->Dispose();
}

TEST_F(FakeHost, SpawnIsRecordedAndKillNeverSent)
{
    plugin->Initialize(handle);
    queueSpawnResult(4242);
    ClientRecord *c = newClient();
    data(c, "spawn");
    ASSERT_EQ(spawns().size(), 1u);
    EXPECT_EQ(spawns()[0].handle, handle);
    EXPECT_EQ(spawns()[0].argv, (std::vector<std::string>{"prog", "arg"}));
    ASSERT_EQ(kills().size(), 1u);
    EXPECT_EQ(kills()[0], std::make_pair(4242, SIGTERM));
    Child &ch = newChild(4242);
    EXPECT_EQ(ch.argv, spawns()[0].argv);
    ch.writeOut("ping");
    plugin->ExecutableHandler(&ch.record, EXECUTABLE_READABLE);
    EXPECT_EQ(ch.readIn(), "ping");
    failRead(ch.record.StdOut, EIO);
    ch.writeOut("x");
    plugin->ExecutableHandler(&ch.record, EXECUTABLE_READABLE);
    EXPECT_EQ(logged(LOG_ERROR, "read: Input/output error"), 1);
    plugin->Dispose();
}

TEST_F(FakeHost, ClockInjection)
{
    plugin->Initialize(handle);
    ClientRecord *c = newClient();
    pushClock(0x01020304, 5);
    pushClockFailure(EPERM);
    data(c, "clock");
    data(c, "clock");
    EXPECT_EQ(out(c), host32(0x01020304));
    EXPECT_EQ(logged("clock failed 1"), 1);
    plugin->Dispose();
}

TEST_F(FakeHost, AllocationTrackingAndFailure)
{
    fail(Op::Malloc);
    plugin->Initialize(handle);
    EXPECT_EQ(liveAllocations(), 0u) << "the failed malloc must not count";
    plugin->Dispose();
    plugin->Initialize(handle);
    EXPECT_EQ(liveAllocations(), 1u);
    ClientRecord *c = newClient();
    data(c, "extra");
    EXPECT_EQ(liveAllocations(), 2u);
    plugin->Dispose();
    EXPECT_EQ(liveAllocations(), 0u);
}

TEST_F(FakeHost, TimeoutsSettingsAndFlowControlAreRecorded)
{
    plugin->Initialize(handle);
    ClientRecord *c = newClient();
    EXPECT_FALSE(fireTimeout(*plugin)) << "nothing pending yet";
    data(c, "timer 250");
    data(c, "timer 40"); // replaces the pending one
    ASSERT_EQ(timeoutCalls().size(), 2u);
    EXPECT_EQ(timeoutCalls()[1].handle, handle);
    EXPECT_EQ(pendingTimeoutMs(), 40);
    EXPECT_TRUE(fireTimeout(*plugin));
    EXPECT_FALSE(fireTimeout(*plugin)) << "fired once";
    EXPECT_EQ(out(c), "tick");
    data(c, "timer 5");
    data(c, "timer -1");
    EXPECT_FALSE(timeoutPending()) << "cancelled";

    setPluginOption("depth", "64MiB");
    data(c, "option depth");
    data(c, "option width");
    EXPECT_EQ(takeOut(c), "tick64MiB(null)");
    EXPECT_EQ(optionLookups(), (std::vector<std::string>{"depth", "width"}));

    data(c, "pause");
    EXPECT_TRUE(flow(c).suspended);
    EXPECT_EQ(flow(c).watchLevel, 0);
    c->OutBuffer->write("x", 1); // unsent output
    EXPECT_FALSE(deliverOutputLow(*plugin, c)) << "output above the level";
    takeOut(c);
    EXPECT_TRUE(deliverOutputLow(*plugin, c));
    EXPECT_EQ(flow(c).watchLevel, -1) << "one event per watch";
    plugin->Dispose();
}

// The same steps on real pipes and on the fake host's memory pipes, which
// must behave alike for what the plug-ins and the harnesses use.
class FakePipes : public PluginTest, public ::testing::WithParamInterface<Pipes> {};

TEST_P(FakePipes, BehaveAsNonBlockingPipes)
{
    plugin->Initialize(handle);
    Child &ch = newChild(4242, 4096, GetParam());
    plugin->ExecutableHandler(&ch.record, EXECUTABLE_READABLE);
    EXPECT_EQ(logged(LOG_ERROR, "read: Resource temporarily unavailable"), 1) << "empty";
    ch.writeOut("ping");
    EXPECT_EQ(ch.pendingOut(), 4u);
    plugin->ExecutableHandler(&ch.record, EXECUTABLE_READABLE); // echoed to its stdin
    EXPECT_EQ(ch.pendingOut(), 0u);
    EXPECT_EQ(ch.readIn(), "ping");
    char byte;
    EXPECT_EQ(ch.readSome(&byte, 1), 0u) << "nothing more";

    const std::string big(10000, 'b');
    EXPECT_EQ(ch.writeSome(big.data(), big.size()), 4096u) << "as much as fits";
    EXPECT_EQ(ch.writeSome(big.data(), 1), 0u) << "full";
    EXPECT_EQ(ch.pendingOut(), 4096u);

    Child &quiet = newChild(4343, 0, GetParam());
    quiet.closeOut();
    plugin->ExecutableHandler(&quiet.record, EXECUTABLE_READABLE);
    ASSERT_FALSE(reads().empty());
    EXPECT_EQ(reads().back().result, 0) << "end of file";
    EXPECT_EQ(quiet.writeSome("x", 1), 0u) << "closed";
    plugin->Dispose();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FakePipes, ::testing::Values(Pipes::Real, Pipes::Memory),
                         [](const auto &info) { return info.param == Pipes::Real ? "Real" : "Memory"; });

TEST(FakeQueue, CopyFollowsTheQueueCalls)
{
    int a, b, c;
    Queue *q = QueueCreate();
    ASSERT_NE(q, nullptr);
    for (int *item : {&a, &b, &c})
        ASSERT_EQ(QueueEnqueue(q, item), 0);
    EXPECT_EQ(QueueRemove(q, &b), 0);
    EXPECT_EQ(QueueDequeue(q), &a);
    EXPECT_EQ(QueueEnqueue(q, &a), 0);
    EXPECT_EQ(queueItemAt(q, 0), &c);
    EXPECT_EQ(queueItemAt(q, 1), &a);
    EXPECT_EQ(queueItemAt(q, 2), nullptr);
    QueueDispose(q);
    EXPECT_EQ(queueItemAt(q, 0), nullptr);
}

// Loaded afresh: a static set by the previous test is back at its initial
// value, so Dispose without Initialize frees nothing.
TEST_F(FakeHost, FreshStaticsEachTest)
{
    plugin->Dispose();
    EXPECT_EQ(liveAllocations(), 0u);
    EXPECT_TRUE(logs().empty());
}
