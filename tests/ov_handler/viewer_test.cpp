// The plug-in's side of the viewer, with real pipes: feeding frames, the
// start byte, results, exits and restarts, and unclutter.
#include <cerrno>
#include <functional>

#include "ov_test.h"

using namespace ovtest;

namespace {

// Drains the viewer's stdin and delivers write-ready events until the whole
// frame has arrived (bounded).
std::string feedAll(Child &v, std::size_t total, const std::function<void()> &writeReady)
{
    std::string got = v.readIn();
    for (int i = 0; i < 100 && got.size() < total; i++) {
        writeReady();
        got += v.readIn();
    }
    return got;
}

} // namespace

class OvFeeding : public OvTest {
protected:
    std::string feedRest(Child &v, std::size_t total)
    {
        return feedAll(v, total, [&] { writeReady(v); });
    }
};

TEST_F(OvFeeding, SixteenByteFrameInOneWrite)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(9));
    ASSERT_EQ(writesOn(v.record.StdIn), 1);
    EXPECT_EQ(writes().back().count, 16u);
    EXPECT_EQ(writes().back().result, 16);
    EXPECT_EQ(v.adds, 0);
    EXPECT_EQ(v.removes, 0);
    EXPECT_EQ(logged(LOG_DEBUG, "wrote 16 bytes to OvExecutable->StdIn"), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "wrote a total of 16 bytes to OvExecutable->StdIn, 0 left."), 1);
    EXPECT_EQ(v.readIn(), frame(-1, 9, 0, 0));
    dispose();
}

TEST_F(OvFeeding, LargeFrameAcrossFullPipe)
{
    init();
    Child &v = viewer(true, 65536);
    ClientRecord *c = admitted();
    std::string pixels = pattern(320 * 240 * 3);
    data(c, showRequest(320, 240, 10, 20, pixels));
    EXPECT_EQ(v.adds, 1);
    EXPECT_EQ(v.removes, 0);
    std::string got = feedRest(v, 230416);
    EXPECT_EQ(got, frame(10, 20, 320, 240, pixels));
    EXPECT_EQ(v.adds, 1);
    EXPECT_EQ(v.removes, 1);
    EXPECT_EQ(v.stdinOn, 0);
    // Every write asked for the whole rest of the frame.
    long written = 0;
    for (const SysCall &w : writes()) {
        if (w.fd != v.record.StdIn)
            continue;
        EXPECT_EQ(static_cast<long>(w.count), 230416 - written);
        if (w.result > 0)
            written += w.result;
    }
    EXPECT_EQ(written, 230416);
    std::size_t before = writes().size();
    writeReady(v); // a stray event writes nothing
    EXPECT_EQ(writes().size(), before);
    EXPECT_EQ(v.adds, 1);
    EXPECT_EQ(v.removes, 1);
    result(v, 0);
    EXPECT_EQ(out(c), be32(0));
    dispose();
}

TEST_F(OvFeeding, InterruptedWriteIsRepeated)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    failWrite(v.record.StdIn, EINTR);
    data(c, queryRequest(1, 0));
    EXPECT_EQ(writesOn(v.record.StdIn), 2);
    EXPECT_EQ(v.readIn(), frame(-2, 1, 0, 0));
    EXPECT_EQ(logged(LOG_ERROR, "write failed on OvExecutable->StdIn.  Interrupted system call."), 0);
    EXPECT_EQ(out(c), "");
    dispose();
}

TEST_F(OvFeeding, BrokenPipeOnResumedJob)
{
    init();
    Child &v = viewer(true, 65536);
    ClientRecord *c = admitted();
    std::size_t idle = liveAllocations();
    data(c, showRequest(320, 240, 0, 0, pattern(230400)));
    v.readIn();
    ASSERT_GE(writes().size(), 2u);
    long first = writes()[0].result;
    ASSERT_GT(first, 0);
    EXPECT_EQ(writes()[1].result, -1) << "the pipe was full";
    failWrite(v.record.StdIn, EPIPE);
    writeReady(v);
    EXPECT_EQ(logged(LOG_ERROR, "write failed on OvExecutable->StdIn.  Broken pipe."), 1);
    EXPECT_EQ(v.removes, 1);
    EXPECT_EQ(v.stdinOn, 0);
    EXPECT_EQ(killsOf(viewerPid), 1);
    EXPECT_EQ(out(c), be32(25));
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_EQ(liveAllocations(), idle) << "the job is gone";
    EXPECT_EQ(logged(LOG_DEBUG,
                     "wrote a total of 0 bytes to OvExecutable->StdIn, " + std::to_string(230416 - first) + " left."),
              1);
    // The owner's list no longer holds it: leaving frees nothing twice.
    deliverClose(c);
    dispose();
}

TEST_F(OvFeeding, FailedWriteForDepartedOwnerIsNotAnswered)
{
    init();
    Child &v = viewer(true, 65536);
    ClientRecord *c = admitted();
    data(c, showRequest(320, 240, 0, 0, pattern(230400)));
    deliverClose(c);
    failWrite(v.record.StdIn, EPIPE);
    writeReady(v);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(killsOf(viewerPid), 1);
    EXPECT_EQ(liveAllocations(), 0u);
    dispose();
}

TEST_F(OvFeeding, SuccessfulWriteResetsWriteErrors)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    for (int i = 0; i < 4; i++) {
        failWrite(v.record.StdIn, EIO);
        data(c, fillRequest(i));
    }
    EXPECT_EQ(takeOut(c), be32(25) + be32(25) + be32(25) + be32(25));
    data(c, fillRequest(10));
    EXPECT_EQ(v.readIn(), frame(-1, 10, 0, 0));
    result(v, 0);
    failWrite(v.record.StdIn, EIO);
    data(c, fillRequest(11));
    EXPECT_EQ(killsOf(viewerPid), 5);
    exited(v, 143);
    ASSERT_EQ(spawns().size(), 3u) << "one failure in a row: restarted";
    EXPECT_EQ(spawns()[2].argv, spawns()[0].argv);
    dispose();
}

TEST_F(OvFeeding, FiveFailedWritesGiveUp)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    for (int i = 0; i < 5; i++) {
        failWrite(v.record.StdIn, ENOSPC);
        data(c, fillRequest(i));
    }
    exited(v, 143);
    EXPECT_EQ(spawns().size(), 2u);
    EXPECT_EQ(refusal(), 25u);
    dispose();
}

TEST_F(OvFeeding, FreshJobMeetingFullPipeSwitchesEventsOnOnceAndOff)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    failWrite(v.record.StdIn, EAGAIN, 2);
    data(c, fillRequest(1));
    EXPECT_EQ(v.adds, 1);
    writeReady(v); // still full
    EXPECT_EQ(v.adds, 1);
    EXPECT_EQ(v.stdinOn, 1);
    writeReady(v);
    EXPECT_EQ(v.readIn(), frame(-1, 1, 0, 0));
    EXPECT_EQ(v.removes, 1);
    EXPECT_EQ(v.stdinOn, 0) << "no write-ready events while no job is partly written";
    result(v, 0);
    EXPECT_EQ(out(c), be32(0));
    dispose();
}

class OvResults : public OvTest {};

TEST_F(OvResults, StartByteWithEmptyQueue)
{
    init();
    Child &v = viewer();
    EXPECT_TRUE(writes().empty());
    ASSERT_EQ(readsOn(v.record.StdOut), 1);
    EXPECT_EQ(reads().back().count, 1u);
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    EXPECT_EQ(v.readIn(), frame(-1, 1, 0, 0)) << "ready: a new job starts at once";
    dispose();
}

TEST_F(OvResults, StartByteStartsOlderOfTwoQueued)
{
    init();
    Child &v = viewer(false);
    ClientRecord *c = admitted();
    data(c, fillRequest(1) + fillRequest(2));
    EXPECT_EQ(v.readIn(), "");
    v.writeOut("S");
    readable(v);
    EXPECT_EQ(v.readIn(), frame(-1, 1, 0, 0));
    EXPECT_EQ(writesOn(v.record.StdIn), 1);
    dispose();
}

TEST_F(OvResults, ResultForwardedBigEndianAndNextStarted)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1) + queryRequest(2, 0));
    v.readIn();
    std::size_t before = liveAllocations();
    v.writeOut(std::string("\x07\0\0\0", 4));
    readable(v);
    EXPECT_EQ(out(c), std::string("\0\0\0\x07", 4));
    EXPECT_EQ(v.readIn(), frame(-2, 2, 0, 0)) << "next job started in the same event";
    EXPECT_EQ(liveAllocations(), before - 2);
    EXPECT_EQ(logged(LOG_DEBUG, "Job finished."), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "Job cleanup."), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "read 4 bytes from OvExecutable->StdOut."), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "read a total of 4 bytes from OvExecutable->StdOut."), 1);
    dispose();
}

TEST_F(OvResults, ResultInTwoPieces)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    v.writeOut(host32(-70000).substr(0, 2));
    readable(v);
    EXPECT_EQ(out(c), "");
    v.writeOut(host32(-70000).substr(2));
    readable(v);
    EXPECT_EQ(out(c), be32(static_cast<uint32_t>(-70000)));
    dispose();
}

TEST_F(OvResults, NoByteBeyondTheCurrentResultIsRead)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1) + fillRequest(2));
    v.writeOut(host32(5) + host32(6));
    readable(v);
    EXPECT_EQ(out(c), be32(5));
    for (const SysCall &r : reads()) {
        if (r.fd == v.record.StdOut) {
            EXPECT_LE(r.count, 4u);
        }
    }
    readable(v);
    EXPECT_EQ(out(c), be32(5) + be32(6));
    dispose();
}

TEST_F(OvResults, OutputWhileIdleOrFeedingIsDropped)
{
    init();
    Child &v = viewer(true, 65536);
    ClientRecord *c = admitted();
    v.writeOut("idle output");
    readable(v);
    EXPECT_EQ(out(c), "");
    data(c, showRequest(320, 240, 0, 0, pattern(230400)));
    v.writeOut("while feeding");
    readable(v);
    EXPECT_EQ(out(c), "");
    std::string got = feedAll(v, 230416, [&] { writeReady(v); });
    EXPECT_EQ(got.size(), 230416u);
    result(v, 4);
    EXPECT_EQ(out(c), be32(4));
    dispose();
}

TEST_F(OvResults, DiscardModeAnswers19)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1) + fillRequest(2));
    v.writeOut(host32(7).substr(0, 2));
    readable(v); // 2 bytes kept
    fail(Op::GetWriteBlock, 0, 1);
    v.writeOut(host32(7).substr(2));
    readable(v);
    EXPECT_EQ(out(c), be32(19));
    EXPECT_EQ(logged(LOG_ERROR, "getwriteblock failed on OvBuffer."), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "reading form OvExecutable->StdOut to OvBuffer."), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "Discarding bytes from OvExecutable->StdOut."), 0);
    v.readIn();
    // Back in normal mode for the next job.
    result(v, 8);
    EXPECT_EQ(out(c), be32(19) + be32(8));
    dispose();
}

TEST_F(OvResults, DiscardModeAcrossEvents)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    fail(Op::GetWriteBlock, 0, 1);
    v.writeOut(host32(9).substr(0, 1));
    readable(v);
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(logged(LOG_DEBUG, "Discarding bytes from OvExecutable->StdOut."), 1) << "EAGAIN in discard mode";
    v.writeOut(host32(9).substr(1));
    readable(v);
    EXPECT_EQ(out(c), be32(19));
    dispose();
}

TEST_F(OvResults, ReadFailureAnswers24AndViewerIsRestarted)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    std::size_t idle = liveAllocations() - 2;
    failRead(v.record.StdOut, EIO);
    v.writeOut(host32(1));
    readable(v);
    EXPECT_EQ(logged(LOG_ERROR, "read failed on OvExecutable->StdOut."), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "Job cleanup."), 1);
    EXPECT_EQ(killsOf(viewerPid), 1);
    EXPECT_EQ(out(c), be32(24));
    EXPECT_EQ(liveAllocations(), idle);
    exited(v, 143);
    ASSERT_EQ(spawns().size(), 3u);
    EXPECT_EQ(spawns()[2].argv, spawns()[0].argv);
    EXPECT_EQ(spawns()[2].handle, handle);
    data(c, fillRequest(2));
    Child &v2 = viewer(false, 0, spawns()[2].result);
    EXPECT_EQ(v2.readIn(), "");
    v2.writeOut("S");
    readable(v2);
    EXPECT_EQ(v2.readIn(), frame(-1, 2, 0, 0));
    dispose();
}

TEST_F(OvResults, StartByteResetsReadErrors)
{
    init();
    Child *v = &viewer();
    ClientRecord *c = admitted();
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 4; i++) {
            data(c, fillRequest(i));
            failRead(v->record.StdOut, EIO);
            v->writeOut(host32(1));
            readable(*v);
        }
        exited(*v, 143);
        ASSERT_EQ(spawns().size(), 3u + round) << "four failures: restarted";
        v = &viewer(true, 0, spawns().back().result);
    }
    dispose();
}

TEST_F(OvResults, StartByteEndOfFileIsNotReady)
{
    init();
    Child &v = viewer(false);
    v.closeOut();
    readable(v);
    EXPECT_EQ(readsOn(v.record.StdOut), 1);
    EXPECT_TRUE(logs().empty());
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    EXPECT_EQ(v.readIn(), "") << "not ready";
    exited(v, 1);
    EXPECT_EQ(spawns().size(), 3u);
    dispose();
}

TEST_F(OvResults, StartByteReadFailure)
{
    init();
    Child &v = viewer(false);
    readable(v); // nothing there yet: EAGAIN, no message
    EXPECT_TRUE(logs().empty());
    failRead(v.record.StdOut, EIO);
    v.writeOut("S");
    readable(v);
    EXPECT_EQ(logged(LOG_ERROR, "read failed on executable->StdOut.  Input/output error."), 1);
    EXPECT_EQ(kills(), (std::vector<std::pair<int, int>>{{viewerPid, SIGTERM}}));
    dispose();
}

TEST_F(OvResults, OtherKindsAreIgnored)
{
    init();
    Child &v = viewer();
    Child &u = newChild(unclutterPid);
    std::size_t r = reads().size(), w = writes().size(), l = logs().size();
    for (int kind : {3, 4, -1}) {
        EXPECT_EQ(plugin->ExecutableHandler(&v.record, kind), 0);
        EXPECT_EQ(plugin->ExecutableHandler(&u.record, kind), 0);
        EXPECT_EQ(plugin->ClientHandler(newClient(), kind), 0);
    }
    EXPECT_EQ(reads().size(), r);
    EXPECT_EQ(writes().size(), w);
    EXPECT_EQ(logs().size(), l);
    EXPECT_EQ(spawns().size(), 2u);
    dispose();
}

class OvExits : public OvTest {};

TEST_F(OvExits, Status3WhilePartlyWrittenRestartsAndOthersWait)
{
    init();
    Child &v = viewer(true, 65536);
    ClientRecord *a = admitted();
    ClientRecord *b = admitted();
    data(a, showRequest(320, 240, 0, 0, pattern(230400)));
    data(b, fillRequest(5));
    exited(v, 3);
    EXPECT_EQ(out(a), std::string("\0\0\0\x03", 4));
    EXPECT_EQ(out(b), "");
    ASSERT_EQ(spawns().size(), 3u);
    EXPECT_EQ(spawns()[2].argv, (std::vector<std::string>{"/opt/x/orvane.exe", "-l", "5", "-s", "1048576"}));
    Child &v2 = viewer(false, 0, spawns()[2].result);
    EXPECT_EQ(v2.readIn(), "");
    v2.writeOut("S");
    readable(v2);
    EXPECT_EQ(v2.readIn(), frame(-1, 5, 0, 0));
    EXPECT_EQ(v2.adds, 0);
    dispose();
}

TEST_F(OvExits, Status0DuringJobAnswers29)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    exited(v, 0);
    EXPECT_EQ(out(c), be32(29));
    EXPECT_EQ(spawns().size(), 3u);
    dispose();
}

TEST_F(OvExits, UnwrittenHeadStaysQueued)
{
    init();
    Child &v = viewer(false);
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    exited(v, 143);
    EXPECT_EQ(out(c), "");
    Child &v2 = viewer(true, 0, spawns()[2].result);
    EXPECT_EQ(v2.readIn(), frame(-1, 1, 0, 0));
    dispose();
}

TEST_F(OvExits, Status127BeforeStartByteFailsQueueWith22)
{
    init();
    Child &v = viewer(false);
    ClientRecord *a = admitted();
    ClientRecord *b = admitted();
    data(a, fillRequest(1));
    data(b, fillRequest(2));
    exited(v, 127);
    EXPECT_EQ(out(a), be32(22));
    EXPECT_EQ(out(b), be32(22));
    EXPECT_EQ(closeCount(a), 1);
    EXPECT_EQ(closeCount(b), 1);
    EXPECT_EQ(spawns().size(), 2u);
    EXPECT_EQ(refusal(), 22u);
    deliverClose(a);
    deliverClose(b);
    EXPECT_EQ(liveAllocations(), 0u);
    std::size_t k = kills().size();
    plugin->Dispose();
    EXPECT_EQ(kills().size(), k + 1) << "only unclutter";
    EXPECT_EQ(liveAllocations(), 0u);
}

TEST_F(OvExits, AdmittedClientsJobAfterGivingUpIsRefused)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    exited(v, 127);
    EXPECT_EQ(closeCount(c), 0) << "no job of its own was failed";
    std::size_t idle = liveAllocations();
    data(c, fillRequest(1) + fillRequest(2));
    EXPECT_EQ(out(c), be32(22));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(liveAllocations(), idle);
    deliverClose(c);
    dispose();
}

TEST_F(OvExits, FiveReadFailuresGiveUpWith24)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    for (int i = 0; i < 5; i++) {
        data(c, fillRequest(i));
        failRead(v.record.StdOut, EIO);
        v.writeOut(host32(0));
        readable(v);
    }
    EXPECT_EQ(takeOut(c), be32(24) + be32(24) + be32(24) + be32(24) + be32(24));
    data(c, fillRequest(9)); // written to the stopping viewer
    exited(v, 143);
    EXPECT_EQ(out(c), be32(143)) << "the busy job gets the status";
    EXPECT_EQ(spawns().size(), 2u);
    EXPECT_EQ(refusal(), 24u);
    dispose();
}

TEST_F(OvExits, FailingQueueOfThreeJobsFromTwoClients)
{
    init();
    Child &v = viewer();
    ClientRecord *z = admitted();
    for (int i = 0; i < 5; i++) {
        failWrite(v.record.StdIn, EPIPE);
        data(z, fillRequest(i));
    }
    takeOut(z);
    ClientRecord *x = admitted();
    ClientRecord *y = admitted();
    failWrite(v.record.StdIn, EAGAIN); // the head stays unwritten
    data(x, fillRequest(1));
    data(y, fillRequest(2));
    data(x, fillRequest(3));
    exited(v, 143);
    EXPECT_EQ(out(x), be32(25) + be32(25));
    EXPECT_EQ(closeCount(x), 2);
    EXPECT_EQ(out(y), be32(25));
    EXPECT_EQ(closeCount(y), 1);
    EXPECT_EQ(out(z), "");
    EXPECT_EQ(closeCount(z), 0);
    EXPECT_EQ(liveAllocations(), 3u) << "only the three nodes";
    EXPECT_EQ(refusal(), 25u);
    deliverClose(x);
    deliverClose(y);
    dispose();
}

TEST_F(OvExits, FailedRestartFailsQueueWithMappedCode)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    ClientRecord *d = admitted();
    data(c, fillRequest(1));
    data(d, fillRequest(2));
    fail(Op::BufferWrite, 0, 1, d->OutBuffer);
    queueSpawnResult(-4);
    exited(v, 143);
    EXPECT_EQ(out(c), be32(143));
    EXPECT_EQ(out(d), "");
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->Client->OutBuffer."), 1);
    EXPECT_EQ(closeCount(d), 1);
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_EQ(refusal(), 21u);
    dispose();
}

// A viewer that keeps exiting soon after its start is restarted after a
// growing delay. Each row: the life of the viewer, then the wait before its
// restart (0: restarted within the exit event).
class OvBackOff : public OvTest {
protected:
    struct Life {
        long long ms;
        int wait;
    };

    // The viewer lives and exits as the rows say; returns the last viewer.
    Child *live(Child *v, std::initializer_list<Life> lives)
    {
        for (const Life &l : lives) {
            const std::size_t before = spawns().size();
            exited(*v, 3, l.ms);
            if (l.wait == 0) {
                EXPECT_FALSE(timeoutPending()) << "life " << l.ms;
            } else {
                EXPECT_EQ(pendingTimeoutMs(), l.wait) << "life " << l.ms;
                EXPECT_EQ(spawns().size(), before) << "restarted before the delay";
                EXPECT_TRUE(fireTimeout(*plugin));
            }
            EXPECT_EQ(spawns().size(), before + 1) << "life " << l.ms;
            v = &viewer(true, 0, spawns().back().result);
        }
        return v;
    }

    static std::string delayed(int ms)
    {
        return "orvane.exe keeps exiting within 1000 ms of its start; it is restarted after " + std::to_string(ms) +
               " ms.";
    }
};

TEST_F(OvBackOff, QuickExitsDoubleTheDelayUpToASecondLoggedOncePerChange)
{
    init();
    Child *v = live(&viewer(), {{5, 0},
                                {5, 10},
                                {999, 20},
                                {1500, 0},
                                {5, 40},
                                {5, 80},
                                {5, 160},
                                {5, 320},
                                {5, 640},
                                {5, 1000},
                                {5, 1000},
                                {3000, 0},
                                {5, 0},
                                {5, 10}});
    for (int ms : {20, 40, 80, 160, 320, 640, 1000})
        EXPECT_EQ(logged(LOG_WARN, delayed(ms)), 1) << ms;
    EXPECT_EQ(logged(LOG_WARN, delayed(10)), 2) << "once before the steady life, once after";
    EXPECT_EQ(logged(LOG_WARN, "orvane.exe ran for 3000 ms; it is restarted at once again."), 1);
    EXPECT_EQ(logs().size(), 10u) << "nothing per restart";
    for (const SpawnCall &s : spawns()) {
        if (s.argv[0] != "unclutter") {
            EXPECT_EQ(s.argv, spawns()[0].argv);
        }
    }
    // A call the plug-in did not ask for restarts nothing.
    const std::size_t started = spawns().size();
    EXPECT_EQ(plugin->TimeoutHandler(nullptr), 0);
    EXPECT_EQ(logged(LOG_FATAL, "TimeoutHandler called in ov."), 1);
    EXPECT_EQ(spawns().size(), started);
    (void)v;
    dispose();
}

// Clients are admitted and their jobs queued while the restart waits; the
// restarted viewer takes them, or a restart that fails answers them.
class OvBackOffQueue : public OvBackOff, public ::testing::WithParamInterface<int> {};

TEST_P(OvBackOffQueue, JobsQueuedDuringTheDelay)
{
    const int restart = GetParam(); // 0: a pid, else the spawn's failure
    init();
    Child *v = live(&viewer(), {{5, 0}});
    exited(*v, 3, 5);
    ASSERT_EQ(pendingTimeoutMs(), 10);
    ClientRecord *c = admitted();
    data(c, fillRequest(7));
    EXPECT_EQ(out(c), "");
    if (restart != 0)
        queueSpawnResult(restart);
    ASSERT_TRUE(fireTimeout(*plugin));
    if (restart == 0) {
        EXPECT_EQ(viewer(true, 0, spawns().back().result).readIn(), frame(-1, 7, 0, 0));
        EXPECT_EQ(closeCount(c), 0);
    } else {
        EXPECT_EQ(out(c), be32(21));
        EXPECT_EQ(closeCount(c), 1);
        EXPECT_EQ(refusal(), 21u);
        deliverClose(c);
    }
    dispose();
}

INSTANTIATE_TEST_SUITE_P(Restart, OvBackOffQueue, ::testing::Values(0, SPAWN_NO_RESOURCES),
                         [](const auto &info) { return info.param == 0 ? "Starts" : "Fails"; });

TEST_F(OvBackOff, WithoutMemoryForTheDelayRestartsAtOnce)
{
    init();
    Child *v = live(&viewer(), {{5, 0}});
    fail(Op::Malloc);
    v = live(v, {{5, 0}});
    EXPECT_EQ(logged(LOG_ERROR, "malloc failed on orvane restart argv."), 1);
    v = live(v, {{5, 20}}); // the back-off went on
    (void)v;
    dispose();
}

TEST_F(OvBackOff, DisposeDuringTheDelay)
{
    init();
    Child *v = live(&viewer(), {{5, 0}});
    const int pid = v->record.Pid;
    exited(*v, 3, 5);
    ASSERT_TRUE(timeoutPending());
    const std::size_t k = kills().size();
    dispose();
    EXPECT_FALSE(timeoutPending()) << "cancelled";
    EXPECT_EQ(kills().size(), k + 1) << "only unclutter";
    EXPECT_EQ(killsOf(pid), 0);
}

class OvUnclutter : public OvTest {};

TEST_F(OvUnclutter, DrainsInChunksOf4096)
{
    init();
    Child &v = viewer(false);
    Child &u = newChild(unclutterPid);
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    u.writeOut(pattern(5000));
    readable(u);
    std::vector<long> results;
    for (const SysCall &r : reads())
        if (r.fd == u.record.StdOut) {
            EXPECT_EQ(r.count, 4096u);
            results.push_back(r.result);
        }
    EXPECT_EQ(results, (std::vector<long>{4096, 904, -1}));
    EXPECT_EQ(logged(LOG_WARN, "read failed on unclutter->StdOut.  Resource temporarily unavailable."), 1);
    EXPECT_EQ(v.readIn(), "") << "unclutter's output does not make the viewer ready";
    u.writeOut("bye");
    u.closeOut();
    readable(u);
    EXPECT_EQ(logs().size(), 1u) << "end of file ends the draining quietly";
    dispose();
}

TEST_F(OvUnclutter, ScratchBufferMissing)
{
    init();
    Child &u = newChild(unclutterPid);
    u.writeOut("x");
    fail(Op::Malloc);
    readable(u);
    EXPECT_EQ(logged(LOG_DEBUG, "malloc failed on unclutter buffer."), 1);
    EXPECT_EQ(readsOn(u.record.StdOut), 0);
    dispose();
}

TEST_F(OvUnclutter, SixExitsFiveRestartsThenForgotten)
{
    init();
    int pid = unclutterPid;
    for (int i = 0; i < 6; i++) {
        Child &u = newChild(pid);
        EXPECT_EQ(u.argv, (std::vector<std::string>{"unclutter", "-root", "-onescreen"}));
        exited(u, 1);
        if (i < 5) {
            ASSERT_EQ(spawns().size(), 3u + i);
            EXPECT_EQ(spawns().back().argv, u.argv);
            pid = spawns().back().result;
        }
    }
    EXPECT_EQ(spawns().size(), 7u);
    plugin->Dispose();
    EXPECT_EQ(kills(), (std::vector<std::pair<int, int>>{{viewerPid, SIGTERM}}))
        << "an unclutter gone for good is not signalled";
}

TEST_F(OvUnclutter, FailedRestartIsNotSignalled)
{
    init();
    Child &u = newChild(unclutterPid);
    queueSpawnResult(-3);
    exited(u, 1);
    plugin->Dispose();
    EXPECT_EQ(kills(), (std::vector<std::pair<int, int>>{{viewerPid, SIGTERM}}));
}

TEST_F(OvUnclutter, WriteReadyOnlyLogs)
{
    init();
    Child &u = newChild(unclutterPid);
    plugin->ExecutableHandler(&u.record, EXECUTABLE_WRITE_READY);
    EXPECT_EQ(logged(LOG_ERROR, "UnclutterID passed into ExecutableWriteReady."), 1);
    EXPECT_EQ(logs().size(), 1u);
    EXPECT_TRUE(reads().empty());
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(u.removes + u.adds, 0);
    dispose();
}
