// Requests of admitted clients: frames byte for byte, partial and unknown
// requests, refused sizes, allocation and queue failures, and the time-stamp
// exchange with every take-back.
#include <cerrno>

#include "abi_types.h"
#include "ov_test.h"

using namespace ovtest;

class OvRequests : public OvTest {};

TEST_F(OvRequests, FramesByteForByte)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();

    data(c, showRequest(2, 1, 5, 7, "ABCDEF"));
    std::string f = v.readIn();
    EXPECT_EQ(f, std::string("\x05\0\0\0\x07\0\0\0\x02\0\0\0\x01\0\0\0ABCDEF", 22));
    result(v, 0);

    data(c, showRequest(0, 480, -3, 1 << 20, ""));
    EXPECT_EQ(v.readIn(), frame(-3, 1 << 20, 0, 480));
    result(v, 0);

    data(c, fillRequest(9));
    EXPECT_EQ(v.readIn(), std::string("\xFF\xFF\xFF\xFF\x09\0\0\0\0\0\0\0\0\0\0\0", 16));
    result(v, 0);

    data(c, queryRequest(9, 4));
    EXPECT_EQ(v.readIn(), std::string("\xFE\xFF\xFF\xFF\x09\0\0\0\x04\0\0\0\0\0\0\0", 16));
    result(v, 0);

    EXPECT_EQ(in(c), "");
    EXPECT_EQ(out(c), be32(0) + be32(0) + be32(0) + be32(0));
    dispose();
}

TEST_F(OvRequests, PartialRequestsConsumedOnlyWhenComplete)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    std::string pixels = pattern(300 * 200 * 3);
    std::string request = showRequest(300, 200, 1, 2, pixels);
    std::size_t before = liveAllocations();
    data(c, request.substr(0, 19));
    data(c, request.substr(19, 1));
    data(c, request.substr(20, 1000));
    EXPECT_EQ(in(c), request.substr(0, 1020)) << "nothing consumed";
    EXPECT_EQ(liveAllocations(), before);
    data(c, request.substr(1020));
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(drain(v, 16 + pixels.size()), frame(1, 2, 300, 200, pixels));
    result(v, 0);

    data(c, fillRequest(3).substr(0, 7));
    data(c, "");
    EXPECT_EQ(in(c).size(), 7u);
    data(c, fillRequest(3).substr(7) + queryRequest(3, 4).substr(0, 11));
    EXPECT_EQ(in(c), queryRequest(3, 4).substr(0, 11)) << "command 1 done, command 3 incomplete";
    EXPECT_EQ(v.readIn(), frame(-1, 3, 0, 0));
    dispose();
}

TEST_F(OvRequests, UnknownCommandBlocksTheClient)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    for (uint32_t word : {7u, 0xFFFFFFFFu, 4u}) {
        ClientRecord *d = admitted();
        data(d, be32(word) + fillRequest(1));
        data(d, fillRequest(2));
        EXPECT_EQ(in(d), be32(word) + fillRequest(1) + fillRequest(2));
        EXPECT_EQ(out(d), "");
        EXPECT_EQ(closeCount(d), 0);
    }
    EXPECT_EQ(v.readIn(), "");
    data(c, fillRequest(4));
    EXPECT_EQ(v.readIn(), frame(-1, 4, 0, 0)) << "other clients are served";
    dispose();
}

TEST_F(OvRequests, ThreeRequestsInOneEventQueuedInOrder)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1) + queryRequest(2, 0) + showRequest(1, 1, 3, 4, "xyz"));
    EXPECT_EQ(v.readIn(), frame(-1, 1, 0, 0)) << "only the first is started";
    result(v, 11);
    EXPECT_EQ(v.readIn(), frame(-2, 2, 0, 0));
    result(v, 12);
    EXPECT_EQ(v.readIn(), frame(3, 4, 1, 1, "xyz"));
    result(v, 13);
    EXPECT_EQ(out(c), be32(11) + be32(12) + be32(13));
    dispose();
}

TEST_F(OvRequests, JobWaitsWhileViewerStarts)
{
    init();
    Child &v = viewer(false);
    ClientRecord *c = admitted();
    data(c, fillRequest(1));
    EXPECT_EQ(v.readIn(), "");
    EXPECT_TRUE(writes().empty());
    (void)c;
    dispose();
}

// Negative sizes and byte counts beyond 32 bits: 19, the client is closed and
// nothing of its stream is read further.
class OvBadSize : public OvTest, public ::testing::WithParamInterface<std::pair<int32_t, int32_t>> {};

TEST_P(OvBadSize, RefusedAndClosed)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    std::size_t before = liveAllocations();
    data(c, showRequest(GetParam().first, GetParam().second, 0, 0, pattern(64)) + fillRequest(1));
    EXPECT_EQ(out(c), be32(19));
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(liveAllocations(), before);
    EXPECT_EQ(v.readIn(), "");
    EXPECT_EQ(logs().back().level, LOG_ERROR);
    dispose();
}

INSTANTIATE_TEST_SUITE_P(Sizes, OvBadSize,
                         ::testing::Values(std::make_pair(-1, 1), std::make_pair(1, -1), std::make_pair(-2, -2),
                                           std::make_pair(INT32_MIN, 0), std::make_pair(26755, 26755),
                                           std::make_pair(715827876, 1), std::make_pair(65536, 65536),
                                           std::make_pair(INT32_MAX, INT32_MAX)));

TEST_F(OvRequests, LargestSizeThatFitsWaitsForItsPixels)
{
    init();
    viewer();
    ClientRecord *c = admitted();
    // 715827875 x 3 + 20 = 2147483645 bytes: a valid length.
    data(c, showRequest(715827875, 1, 0, 0, "abc"));
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 0);
    EXPECT_EQ(in(c).size(), 23u);
    dispose();
}

TEST_F(OvRequests, AllocationFailuresAnswer19AndGoOn)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    std::size_t before = liveAllocations();

    fail(Op::Malloc, 0, 1);
    data(c, showRequest(1, 1, 0, 0, "abc") + fillRequest(5));
    EXPECT_EQ(logged(LOG_ERROR, "malloc failed on job."), 1);
    EXPECT_EQ(takeOut(c), be32(19));
    EXPECT_EQ(v.readIn(), frame(-1, 5, 0, 0)) << "the loop goes on after a failure";
    result(v, 0);
    takeOut(c);

    fail(Op::Malloc, 1, 1);
    data(c, showRequest(1, 1, 0, 0, "abc"));
    EXPECT_EQ(logged(LOG_ERROR, "malloc failed on job->Image."), 1);
    EXPECT_EQ(takeOut(c), be32(19));
    EXPECT_EQ(in(c), "");

    fail(Op::Malloc, 1, 1);
    data(c, queryRequest(1, 2));
    EXPECT_EQ(logged(LOG_ERROR, "malloc failed on job."), 2);
    EXPECT_EQ(takeOut(c), be32(19));

    fail(Op::Malloc, 0, 1);
    data(c, fillRequest(1));
    EXPECT_EQ(logged(LOG_ERROR, "malloc failed on job."), 3);
    EXPECT_EQ(takeOut(c), be32(19));

    fail(Op::QueueEnqueue, 0, 1);
    data(c, fillRequest(1));
    EXPECT_EQ(logged(LOG_ERROR, "enqueue failed on ov q."), 1);
    EXPECT_EQ(takeOut(c), be32(19));
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(liveAllocations(), before);
    EXPECT_EQ(v.readIn(), "");

    // The failure answer itself cannot be written: logged, closed.
    fail(Op::QueueEnqueue, 0, 1);
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    data(c, fillRequest(1) + fillRequest(6));
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->Client->OutBuffer."), 1);
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(v.readIn(), frame(-1, 6, 0, 0)) << "the loop goes on even after the close";
    deliverClose(c);
    dispose();
}

// Images of 1 MiB or more leave InBuffer by an exchange of buffers, not a
// copy, when what follows them is shorter than they are; the rest is written
// back. Whichever way an image takes, the viewer gets the same bytes and the
// requests after it go on. `taken`: InBuffer gave its memory away, so what it
// holds now is a small allocation.
struct TakeCase {
    const char *name;
    int images;             // sent in one event, each 600 x 600
    bool fillAfter;         // a fill and 10 bytes of a further request follow
    std::size_t pluginCap;  // CBufferCreate's cap (0: the default)
    Op failing;             // fails once for InBuffer (BufferWrite) or any buffer
    bool fails;
    bool taken;
};

void PrintTo(const TakeCase &t, std::ostream *os) { *os << t.name; }

class OvTakeImage : public OvTest, public ::testing::WithParamInterface<TakeCase> {};

TEST_P(OvTakeImage, SameFramesWhicheverWayTheImageLeavesInBuffer)
{
    const TakeCase &t = GetParam();
    if (t.pluginCap)
        setPluginBufferCap(t.pluginCap);
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    const std::string pixels = pattern(600 * 600 * 3), next = showRequest(1, 1, 0, 0, "xyz");
    std::string bytes;
    for (int i = 0; i < t.images; i++)
        bytes += showRequest(600, 600, i, 7, pixels);
    if (t.fillAfter)
        bytes += fillRequest(5) + next.substr(0, 10);
    if (t.fails)
        fail(t.failing, 0, 1, t.failing == Op::BufferWrite ? static_cast<const void *>(c->InBuffer) : nullptr);
    data(c, bytes);
    EXPECT_EQ(in(c), t.fillAfter ? next.substr(0, 10) : "");
    EXPECT_EQ(c->InBuffer->allocated() < (1u << 20), t.taken);
    for (int i = 0; i < t.images; i++) {
        EXPECT_EQ(drain(v, 16 + pixels.size()), frame(i, 7, 600, 600, pixels)) << "image " << i;
        result(v, 40 + i);
    }
    if (t.fillAfter) {
        EXPECT_EQ(v.readIn(), frame(-1, 5, 0, 0));
        result(v, 50);
    }
    std::string answers;
    for (int i = 0; i < t.images; i++)
        answers += be32(40 + static_cast<uint32_t>(i));
    EXPECT_EQ(takeOut(c), answers + (t.fillAfter ? be32(50) : ""));
    EXPECT_EQ(errorLines(), 0);
    deliverClose(c);
    EXPECT_EQ(pluginBuffers(), 1) << "only the plug-in's own result buffer is left";
    dispose();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, OvTakeImage,
    ::testing::Values(TakeCase{"Alone", 1, false, 0, Op::BufferWrite, false, true},
                      TakeCase{"FollowedByAFillAndAPartialRequest", 1, true, 0, Op::BufferWrite, false, true},
                      TakeCase{"TwoInOneEventTheFirstIsCopied", 2, false, 0, Op::BufferWrite, false, true},
                      TakeCase{"OverThePluginBufferCapIsCopied", 1, true, 1u << 20, Op::BufferWrite, false, false},
                      TakeCase{"NoBufferToBeHadIsCopied", 1, true, 0, Op::BufferCreate, true, false},
                      TakeCase{"RestNotWrittenBackIsCopied", 1, true, 0, Op::BufferWrite, true, false}),
    [](const auto &info) { return info.param.name; });

// The buffer an image was taken into is kept when its job is done and the
// next image is exchanged into it: no new buffer, no fresh memory.
TEST_F(OvRequests, TakenImageBuffersAreReused)
{
    init();
    Child &v = viewer(true, 1 << 20);
    ClientRecord *c = admitted();
    const std::string pixels = pattern(600 * 600 * 3);
    for (int i = 0; i < 3; i++) {
        data(c, showRequest(600, 600, i, 0, pixels));
        EXPECT_EQ(calls(Op::BufferCreate), 2) << "the result buffer, and one for the images; image " << i;
        EXPECT_EQ(drain(v, 16 + pixels.size()), frame(i, 0, 600, 600, pixels));
        result(v, 0);
    }
    EXPECT_EQ(pluginBuffers(), 2);
    dispose();
}

// Spares are kept only up to client-queue-bytes (by the images they held):
// two images of two clients finish, one buffer is kept, the other goes.
TEST_F(OvRequests, SparesAreBoundedByTheClientLimit)
{
    setPluginOption("client-queue-bytes", "1200000");
    init();
    Child &v = viewer(true, 1 << 20);
    ClientRecord *a = admitted();
    ClientRecord *b = admitted();
    const std::string pixels = pattern(600 * 600 * 3);
    data(a, showRequest(600, 600, 1, 0, pixels));
    data(b, showRequest(600, 600, 2, 0, pixels));
    EXPECT_EQ(pluginBuffers(), 3) << "the result buffer and the two images'";
    for (int i = 1; i <= 2; i++) {
        EXPECT_EQ(drain(v, 16 + pixels.size()), frame(i, 0, 600, 600, pixels));
        result(v, 0);
    }
    EXPECT_EQ(pluginBuffers(), 2) << "one image buffer kept";
    dispose();
}

class OvTimeStamp : public OvTest {};

TEST_F(OvTimeStamp, AnswerByteForByte)
{
    init();
    ClientRecord *c = admitted();
    pushClock(1000, 250);
    pushClock(1000, 260);
    data(c, be32(2) + std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    EXPECT_EQ(out(c), std::string("\0\0\0\0\x01\x02\x03\x04\x05\x06\x07\x08"
                                  "\0\0\x03\xE8\0\0\0\xFA\0\0\x03\xE8\0\0\x01\x04",
                                  28));
    EXPECT_EQ(in(c), "");
    dispose();
}

TEST_F(OvTimeStamp, IncompleteUntilTwelveBytesAndSecondsCut)
{
    init();
    ClientRecord *c = admitted();
    std::string request = be32(2) + "abcdefgh";
    data(c, request.substr(0, 11));
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(in(c).size(), 11u);
    pushClock(0x100000005L, 999999);
    pushClock(0x200000006L, 0);
    data(c, request.substr(11));
    EXPECT_EQ(out(c), be32(0) + "abcdefgh" + be32(5) + be32(999999) + be32(6) + be32(0));
    dispose();
}

TEST_F(OvTimeStamp, TwoRequestsInOneEvent)
{
    init();
    ClientRecord *c = admitted();
    pushClock(1, 2);
    pushClock(3, 4);
    pushClock(5, 6);
    pushClock(7, 8);
    data(c, be32(2) + "AAAAAAAA" + be32(2) + "BBBBBBBB");
    EXPECT_EQ(out(c), be32(0) + "AAAAAAAA" + be32(1) + be32(2) + be32(3) + be32(4) + be32(0) + "BBBBBBBB" + be32(5) +
                          be32(6) + be32(7) + be32(8));
    dispose();
}

// Each failing step leaves one status word where the answer would have been,
// and whatever was in OutBuffer before it untouched.
struct TakeBack {
    const char *name;
    Op op;          // failure injected on the client's OutBuffer
    int after;      // calls of that operation on OutBuffer that pass first
    int clockFails; // 1: first reading, 2: second reading, 0: none
    const char *message;
    uint32_t code;
};

void PrintTo(const TakeBack &row, std::ostream *os) { *os << row.name; }

class OvTakeBack : public OvTest, public ::testing::WithParamInterface<TakeBack> {};

TEST_P(OvTakeBack, SingleStatusWord)
{
    const TakeBack &row = GetParam();
    init();
    ClientRecord *c = admitted();
    const std::string earlier = "earlier!";
    ASSERT_EQ(c->OutBuffer->write(earlier.data(), earlier.size()), true);
    if (row.clockFails == 1) {
        pushClockFailure(EPERM);
    } else {
        pushClock(1000, 250);
        if (row.clockFails == 2)
            pushClockFailure(EINVAL);
        else
            pushClock(1000, 260);
    }
    if (row.clockFails == 0)
        fail(row.op, row.after, 1, c->OutBuffer);
    data(c, be32(2) + "12345678" + fillRequest(1).substr(0, 3));
    EXPECT_EQ(out(c), earlier + be32(row.code));
    EXPECT_EQ(in(c), fillRequest(1).substr(0, 3)) << "all 12 request bytes consumed";
    EXPECT_EQ(logged(LOG_ERROR, row.message), 1);
    EXPECT_EQ(closeCount(c), 0);
    dispose();
}

INSTANTIATE_TEST_SUITE_P(
    Table, OvTakeBack,
    ::testing::Values(
        TakeBack{"FirstClock", Op::BufferWrite, 0, 1, "gettimeofday failed on job->Created.  Operation not permitted.",
                 28},
        TakeBack{"BlockAtZero", Op::GetWriteBlock, 0, 0, "getWriteBlock failed on client->OutBuffer.", 19},
        TakeBack{"T1Seconds", Op::BufferWrite, 1, 0, "write failed on client->OutBuffer", 19},
        TakeBack{"T1Micro", Op::BufferWrite, 2, 0, "write failed on client->OutBuffer", 19},
        TakeBack{"SecondClock", Op::BufferWrite, 0, 2, "gettimeofday failed on t.  Invalid argument.", 28},
        TakeBack{"T2Seconds", Op::BufferWrite, 3, 0, "write failed on client->OutBuffer", 19},
        TakeBack{"T2Micro", Op::BufferWrite, 4, 0, "write failed on client->OutBuffer", 19}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(OvTimeStamp, WriteBlockFailsAfterThreeBytes)
{
    init();
    ClientRecord *c = admitted();
    // Room for code 0 and three client bytes only.
    c->OutBuffer->setCap(7);
    data(c, be32(2) + "12345678");
    EXPECT_EQ(out(c), be32(19));
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(logged(LOG_ERROR, "getWriteBlock failed on client->OutBuffer."), 1);
    dispose();
}

TEST_F(OvTimeStamp, ReplyCodeWriteFailsClosesAndConsumesTheWholeRequest)
{
    init();
    ClientRecord *c = admitted();
    Child &v = viewer();
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    // The client's 8 bytes read like a fill request; a real one follows.
    data(c, be32(2) + fillRequest(5) + fillRequest(6));
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->Client->OutBuffer."), 1);
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(v.readIn(), frame(-1, 6, 0, 0)) << "no job made from the time stamp's bytes";
    deliverClose(c);
    dispose();
}

TEST_F(OvTimeStamp, FailureCodeWriteFailsToo)
{
    init();
    ClientRecord *c = admitted();
    fail(Op::BufferWrite, 1, 2, c->OutBuffer);
    data(c, be32(2) + "12345678");
    EXPECT_EQ(out(c), "");
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->OutBuffer"), 1);
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->Client->OutBuffer."), 1);
    dispose();
}
