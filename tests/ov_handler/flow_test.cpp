// Flow control of the image plug-in against the fake host: how much a client
// may queue (settings and their defaults), the suspension of its input when a
// request does not fit, the resumption when room is given back, and the
// bookkeeping across departures and a viewer given up. A fill costs its
// 16-byte frame plus 64 bytes of overhead: 80.
#include <algorithm>
#include <vector>

#include "ov_test.h"

using namespace ovtest;

namespace {

std::string fills(int first, int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += fillRequest(first + i);
    return s;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

struct LimitCase {
    const char *name;
    Settings settings;
    int admitted;      // fills queued from a burst of 1100 before the client is suspended
    const char *error; // logged for a bad value, or null
};

void PrintTo(const LimitCase &t, std::ostream *os) { *os << t.name; }

} // namespace

class OvFlow : public OvTest {
protected:
    void init(const Settings &settings)
    {
        for (const auto &[key, value] : settings)
            setPluginOption(key, value);
        OvTest::init();
    }
    // Fills waiting in the client's InBuffer.
    static int waiting(const ClientRecord *c) { return static_cast<int>(in(c).size() / 8); }
    // The viewer's next frame is a fill with this argument; it answers it.
    void serve(Child &v, int argument, int32_t answer)
    {
        EXPECT_EQ(v.readIn(), frame(-1, argument, 0, 0));
        result(v, answer);
    }
};

class OvFlowLimits : public OvFlow, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(OvFlowLimits, ClientIsSuspendedAtTheFirstRequestThatDoesNotFit)
{
    const LimitCase &t = GetParam();
    init(t.settings);
    for (const char *key : {"client-queue-bytes", "total-queue-bytes", "client-queue-jobs"})
        EXPECT_EQ(std::count(optionLookups().begin(), optionLookups().end(), key), 1) << key;
    ClientRecord *c = admitted();
    data(c, fills(0, 1100));
    EXPECT_EQ(1100 - waiting(c), t.admitted);
    EXPECT_TRUE(flow(c).suspended);
    EXPECT_EQ(flow(c).suspends, 1);
    EXPECT_EQ(out(c), "") << "nothing answered yet";
    if (t.error) {
        EXPECT_EQ(logged(LOG_ERROR, t.error), 1);
    }
    EXPECT_EQ(errorLines(), t.error ? 1 : 0);
    // A data event while suspended (the host sends none) changes nothing.
    data(c, fills(2000, 1));
    EXPECT_EQ(1101 - waiting(c), t.admitted);
    dispose();
}

INSTANTIATE_TEST_SUITE_P(
    Settings, OvFlowLimits,
    ::testing::Values(
        LimitCase{"Defaults", {}, 1024, nullptr},
        LimitCase{"ClientBytes", {{"client-queue-bytes", "200"}}, 2, nullptr},
        LimitCase{"ClientBytesInKiB", {{"client-queue-bytes", "1KiB"}}, 12, nullptr},
        LimitCase{"OneJobWhateverTheLimit", {{"client-queue-bytes", "79"}}, 1, nullptr},
        LimitCase{"ClientJobs", {{"client-queue-jobs", "3"}}, 3, nullptr},
        LimitCase{"TotalBytes", {{"total-queue-bytes", "240"}, {"client-queue-bytes", "1m"}}, 3, nullptr},
        LimitCase{"UnknownUnitIsRefused", {{"total-queue-bytes", "240 b"}}, 1024,
                  "bad value \"240 b\" for the setting ov_handler.total-queue-bytes; 268435456 is used."},
        LimitCase{"ZeroIsRefused", {{"client-queue-bytes", "0"}}, 1024,
                  "bad value \"0\" for the setting ov_handler.client-queue-bytes; 67108864 is used."},
        LimitCase{"WordsAreRefused", {{"client-queue-jobs", "many"}}, 1024,
                  "bad value \"many\" for the setting ov_handler.client-queue-jobs; 1024 is used."}),
    [](const auto &info) { return info.param.name; });

// Two fills fit; the rest waits in InBuffer with the input suspended. Each
// finished job gives back room: the client is resumed, its waiting requests
// run (a time stamp among them), and it is suspended again at the next that
// does not fit. Every request gets one answer, in order.
TEST_F(OvFlow, EachFinishedJobLetsTheNextWaitingRequestIn)
{
    init({{"client-queue-bytes", "160"}});
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fills(1, 3) + be32(2) + "12345678" + fills(4, 2));
    EXPECT_EQ(in(c).size(), 3u * 8 + 12);
    EXPECT_TRUE(flow(c).suspended);
    std::string answers;
    for (int i = 1; i <= 5; i++) {
        serve(v, i, 100 + i);
        answers = takeOut(c);
        EXPECT_EQ(answers.substr(0, 4), be32(100 + static_cast<uint32_t>(i))) << "job " << i;
        if (i == 1) { // the time stamp came in with fill 3: its answer follows
            EXPECT_EQ(answers.substr(4, 12), be32(0) + "12345678") << "time stamp";
        }
        EXPECT_EQ(flow(c).resumes, std::min(i, 3)) << "job " << i;
        EXPECT_EQ(flow(c).suspended, i < 3) << "job " << i;
    }
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(v.readIn(), "") << "exactly five frames";
    dispose();
}

// The total limit: clients blocked by it are resumed oldest first, each only
// when its request fits; a client with nothing queued gets its one job in
// all the same.
TEST_F(OvFlow, TotalLimitResumesTheOldestBlockedClientFirst)
{
    init({{"total-queue-bytes", "240"}});
    Child &v = viewer();
    ClientRecord *a = admitted();
    ClientRecord *b = admitted();
    data(a, fills(1, 4)); // 1 2 3 fit, 4 waits
    data(b, fills(11, 2)); // 11 gets in alone, 12 waits
    EXPECT_TRUE(flow(a).suspended);
    EXPECT_TRUE(flow(b).suspended);
    serve(v, 1, 0); // 240 queued: nothing fits yet
    EXPECT_TRUE(flow(a).suspended);
    serve(v, 2, 0); // 160: a's 4 gets in, the oldest blocked
    EXPECT_FALSE(flow(a).suspended);
    EXPECT_TRUE(flow(b).suspended);
    serve(v, 3, 0); // 160 again: b's 12
    EXPECT_FALSE(flow(b).suspended);
    serve(v, 11, 0);
    serve(v, 4, 0);
    serve(v, 12, 0);
    EXPECT_EQ(takeOut(a), be32(0) + be32(0) + be32(0) + be32(0));
    EXPECT_EQ(takeOut(b), be32(0) + be32(0));
    dispose();
}

// The first image is admitted alone although it exceeds the limit; the next
// is stopped at its 20-byte header, before its pixels are taken.
TEST_F(OvFlow, ImageLargerThanTheLimitIsAdmittedAloneAndTheNextWaitsAtItsHeader)
{
    init({{"client-queue-bytes", "1k"}});
    Child &v = viewer(true, 65536);
    ClientRecord *c = admitted();
    const std::string pixels = pattern(64 * 64 * 3);
    const std::string second = showRequest(64, 64, 2, 0, pixels);
    data(c, showRequest(64, 64, 1, 0, pixels) + second.substr(0, 20));
    EXPECT_TRUE(flow(c).suspended);
    EXPECT_EQ(in(c), second.substr(0, 20));
    EXPECT_EQ(v.readIn().size(), 16u + pixels.size());
    result(v, 7);
    EXPECT_FALSE(flow(c).suspended);
    EXPECT_EQ(out(c), be32(7));
    data(c, second.substr(20));
    EXPECT_EQ(v.readIn(), frame(2, 0, 64, 64, pixels));
    dispose();
}

// A blocked client that leaves is forgotten (no resume for it); its queued
// jobs are dropped and their room goes to a client blocked by the total once
// the viewer's job is done. A viewer given up fails the queue of a blocked
// client and closes it; the request that waited is resumed and answered with
// the same code: every request gets its one answer.
TEST_F(OvFlow, DepartureAndGivingUpWhileBlocked)
{
    init({{"total-queue-bytes", "160"}});
    Child &v = viewer();
    admitted(); // the key holder, who stays
    ClientRecord *a = admitted();
    ClientRecord *b = admitted();
    data(a, fills(1, 3)); // 1 2 queued, 3 waits
    data(b, fills(11, 2)); // 11 alone, 12 waits
    ASSERT_TRUE(flow(a).suspended);
    ASSERT_TRUE(flow(b).suspended);
    deliverClose(a); // 2 is dropped; 1 is the viewer's and stays
    EXPECT_TRUE(flow(b).suspended) << "1 and 11 still hold 160";
    serve(v, 1, 0);
    EXPECT_EQ(out(a), "") << "a left";
    EXPECT_EQ(flow(a).resumes, 0);
    EXPECT_FALSE(flow(b).suspended) << "1 done: 12 gets in";
    data(b, fills(13, 1)); // 11 12 queued: 13 waits
    EXPECT_TRUE(flow(b).suspended);
    EXPECT_EQ(v.readIn(), frame(-1, 11, 0, 0));
    exited(v, 127); // 11 was written: 127; given up: 22 for 12, and for 13
    EXPECT_EQ(takeOut(b), be32(127) + be32(22) + be32(22));
    EXPECT_EQ(closeCount(b), 2);
    EXPECT_EQ(in(b), "");
    deliverClose(b);
    dispose();
}
