// End to end: plughost with the real dvl_handler.so and dorvel.exe from the
// build's module directory, followed through the client library and the
// dvlfollow program. Every wait is bounded; readiness is the server's "ready"
// line and the versions themselves.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "dvl_process.h"
#include "support/server_test.h"

namespace cl = clientlib;
using namespace dvltest;

namespace {

using testsupport::readFile;

cl::Deadline soon() { return cl::Deadline::After(kWait); }

class DvlEndToEnd : public testsupport::ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        fdsBefore = -1;
        ASSERT_NO_FATAL_FAILURE(serve());
    }
    // (Re)starts plughost serving dvl_handler with these options.
    void serve(const std::vector<std::string> &options = {})
    {
        server.reset();
        ASSERT_NO_FATAL_FAILURE(startServer(PLUGHOST_EXE, MODULE_DIR, "dvl_handler", options));
        address = cl::ParseAddress(server->address());
    }

    cl::FollowSession follow(const std::string &path)
    {
        cl::FollowSession s = cl::FollowSession::Connect(address, kWait);
        s.Start(path, soon());
        return s;
    }
    std::string nextVersion(cl::FollowSession &s)
    {
        cl::FollowEvent ev = s.Next(soon());
        EXPECT_EQ(ev.kind, cl::FollowEvent::Kind::Version) << "code " << ev.code;
        return ev.content;
    }
    std::vector<pid_t> watchers() { return childrenNamed(server->pid(), "dorvel.exe"); }
    Process dvlfollow(const std::vector<std::string> &args, const std::string &errFile)
    {
        std::vector<std::string> argv{DVLFOLLOW_EXE, "--connect", server->address()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string error;
        Process p = start(argv, true, errFile, &error);
        EXPECT_GT(p.pid, 0) << error;
        return p;
    }

    cl::Address address;
};

TEST_F(DvlEndToEnd, FirstVersionThenEveryChange)
{
    const std::string file = dir.file("watched.txt");
    ASSERT_TRUE(writeFile(file, "first version\n"));
    cl::FollowSession s = follow(file);
    EXPECT_EQ(nextVersion(s), "first version\n");

    const std::vector<std::string> versions{"second\n", "third, a longer one\n", "4th\n", std::string(1, '\0'),
                                            "with\0nul\n"};
    // Each version is put in place whole (a write into the file could be read
    // half done, and the watcher rightly reports what it reads).
    for (const std::string &v : versions) {
        ASSERT_TRUE(replaceFile(file, v));
        EXPECT_EQ(nextVersion(s), v);
    }
    // The same bytes again are no new version: the next one to arrive is the
    // change after them.
    ASSERT_TRUE(replaceFile(file, versions.back()));
    ASSERT_TRUE(replaceFile(file, "last\n"));
    EXPECT_EQ(nextVersion(s), "last\n");
}

// Two versions of 400 kB reach the watcher's pipe together (plughost is
// stopped meanwhile) under a 768 KiB output cap: each fits on its own, both
// together do not. Both arrive, none answered 18.
TEST_F(DvlEndToEnd, TwoVersionsThatFitOnlyOneAtATimeBothArrive)
{
    ASSERT_NO_FATAL_FAILURE(
        serve({"--max-output", "768KiB", "--plugin-option", "dvl_handler.output-watermark=256KiB"}));
    const std::string file = dir.file("twice.bin");
    auto version = [](char c) { return std::string(400000, c); };
    ASSERT_TRUE(writeFile(file, version('0')));
    cl::FollowSession s = follow(file);
    ASSERT_TRUE(nextVersion(s) == version('0'));
    ASSERT_EQ(watchers().size(), 1u);
    const pid_t watcher = watchers()[0];

    ASSERT_TRUE(signalProcess(server->pid(), SIGSTOP));
    ASSERT_TRUE(waitFor([&] { return testsupport::readStat(server->pid()).state == 'T'; }, kWaitMs));
    ASSERT_TRUE(replaceFile(file, version('1')));
    ASSERT_TRUE(waitFor([&] { return testsupport::pipeBytes(watcher, 1) >= 400004; }, kWaitMs));
    ASSERT_TRUE(replaceFile(file, version('2')));
    const bool both = waitFor([&] { return testsupport::pipeBytes(watcher, 1) >= 2 * 400004; }, kWaitMs);
    ASSERT_TRUE(signalProcess(server->pid(), SIGCONT));
    ASSERT_TRUE(both) << "the watcher never wrote the second version";
    EXPECT_TRUE(nextVersion(s) == version('1'));
    EXPECT_TRUE(nextVersion(s) == version('2'));
}

TEST_F(DvlEndToEnd, LargeFileArrivesWhole)
{
    const std::string file = dir.file("large.bin");
    std::string content(3 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) ^ (i >> 9));
    ASSERT_TRUE(writeFile(file, content));
    cl::FollowSession s = follow(file);
    EXPECT_TRUE(nextVersion(s) == content);
}

// Big versions, each put in place by a rename, reach the follower byte for
// byte; once the follower has left, plughost's memory is back near where it
// started (the buffers of a follower are given back, not kept for the next).
struct BigCase {
    const char *name;
    // Each version as (size, byte changed, its new value) applied to a fresh
    // 64 MiB pattern; size 0 keeps 64 MiB.
    struct Step {
        std::size_t size;
        std::size_t at;
        char value;
    };
    std::vector<Step> steps;
};

void PrintTo(const BigCase &c, std::ostream *os) { *os << c.name; }

class DvlBigVersions : public DvlEndToEnd, public ::testing::WithParamInterface<BigCase> {};

constexpr std::size_t kBig = 64u << 20;

std::string bigPattern()
{
    std::string s(kBig, '\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>((i * 2654435761u) >> 13);
    return s;
}

// Where two versions first differ, for a message that does not print 64 MiB.
std::string firstDifference(const std::string &got, const std::string &want)
{
    if (got.size() != want.size())
        return std::to_string(got.size()) + " bytes instead of " + std::to_string(want.size());
    const auto at = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    return at == static_cast<std::ptrdiff_t>(got.size()) ? std::string()
                                                         : "first difference at byte " + std::to_string(at);
}

TEST_P(DvlBigVersions, ArriveWholeAndTheMemoryIsGivenBack)
{
    ASSERT_NO_FATAL_FAILURE(serve({"--max-output", "96MiB"}));
    const long startKb = testsupport::statusKb(server->pid(), "VmRSS");
    ASSERT_GT(startKb, 0);

    const std::string file = dir.file("big.bin");
    std::string big = bigPattern();
    ASSERT_TRUE(writeFile(file, big));
    {
        cl::FollowSession s = follow(file);
        std::string got = nextVersion(s);
        ASSERT_EQ(firstDifference(got, big), "") << "the first version";
        for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
            const BigCase::Step &step = GetParam().steps[i];
            big.resize(step.size ? step.size : kBig, 'g');
            big[step.at] = step.value;
            ASSERT_TRUE(replaceFile(file, big));
            got = nextVersion(s);
            ASSERT_EQ(firstDifference(got, big), "") << "version " << i + 1;
        }
    } // the follower leaves
    // Once its watcher has been reaped, plughost has handled the close.
    const pid_t host = server->pid();
    ASSERT_TRUE(waitFor([&] { return childrenNamed(host, "dorvel.exe", true).empty(); }, kWaitMs));
    const long afterKb = testsupport::statusKb(host, "VmRSS");
    EXPECT_LT(afterKb, startKb + 16 * 1024)
        << "plughost kept " << (afterKb - startKb) / 1024 << " MiB after its follower of a 64 MiB file left";
}

INSTANTIATE_TEST_SUITE_P(Files, DvlBigVersions,
                         ::testing::Values(BigCase{"ChangedAtTheStartTheMiddleAndTheEnd",
                                                   {{0, 0, 'S'}, {0, kBig / 2, 'M'}, {0, kBig - 1, 'E'}}},
                                           BigCase{"ShrinksToTenBytesAndGrowsBack",
                                                   {{10, 3, 't'}, {0, kBig - 1, 'b'}, {10, 9, 'T'}, {0, 0, 'B'}}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(DvlEndToEnd, DeleteAndRecreate)
{
    const std::string file = dir.file("comes-and-goes");
    ASSERT_TRUE(writeFile(file, "before\n"));
    cl::FollowSession s = follow(file);
    EXPECT_EQ(nextVersion(s), "before\n");
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ASSERT_TRUE(replaceFile(file, "after re-creation\n"));
    EXPECT_EQ(nextVersion(s), "after re-creation\n") << "the deletion itself is no version";
    EXPECT_EQ(watchers().size(), 1u);
}

TEST_F(DvlEndToEnd, MissingFileIsFollowedUntilItAppears)
{
    const std::string file = dir.file("not-yet");
    cl::FollowSession s = follow(file);
    ASSERT_TRUE(replaceFile(file, "now it exists\n"));
    EXPECT_EQ(nextVersion(s), "now it exists\n");
}

TEST_F(DvlEndToEnd, ClientLeavingStopsItsWatcher)
{
    const std::string file = dir.file("left");
    ASSERT_TRUE(writeFile(file, "x\n"));
    pid_t pid = -1;
    {
        cl::FollowSession s = follow(file);
        EXPECT_EQ(nextVersion(s), "x\n");
        auto w = watchers();
        ASSERT_EQ(w.size(), 1u);
        pid = w[0];
        EXPECT_FALSE(goneInProc(pid));
    } // the connection closes here
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitGone(pid, kWaitMs)) << "dorvel " << pid << " still runs";
    EXPECT_TRUE(goneInProc(pid));
    EXPECT_TRUE(watchers().empty());
}

TEST_F(DvlEndToEnd, WatcherKilledEndsTheConversationWith25)
{
    const std::string file = dir.file("killed");
    ASSERT_TRUE(writeFile(file, "v\n"));
    cl::FollowSession s = follow(file);
    EXPECT_EQ(nextVersion(s), "v\n");
    auto w = watchers();
    ASSERT_EQ(w.size(), 1u);
    signalProcess(w[0], SIGKILL);
    cl::FollowEvent ev = s.Next(soon());
    EXPECT_EQ(ev.kind, cl::FollowEvent::Kind::ClosingCode);
    EXPECT_EQ(ev.code, 25u);
    EXPECT_EQ(s.Next(soon()).kind, cl::FollowEvent::Kind::Closed) << "nothing after the close";
}

TEST_F(DvlEndToEnd, WatcherThatCannotWatchEndsWith25)
{
    // A directory is no file to follow: the watcher ends at once.
    try {
        cl::FollowSession s = follow(dir.path());
        cl::FollowEvent ev = s.Next(soon());
        EXPECT_EQ(ev.kind, cl::FollowEvent::Kind::ClosingCode);
        EXPECT_EQ(ev.code, 25u);
    } catch (const cl::ClientError &e) {
        // The watcher may end before its start byte was read: 25 instead of
        // the second reply 0.
        EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode) << e.what();
        EXPECT_EQ(e.code(), 25u) << e.what();
    }
    EXPECT_TRUE(watchers().empty());
}

TEST_F(DvlEndToEnd, OverlongPathIsRefusedWith18)
{
    try {
        cl::FollowSession s = follow("/" + std::string(4200, 'a'));
        ADD_FAILURE() << "a path of 4201 bytes was accepted";
    } catch (const cl::ClientError &e) {
        EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode) << e.what();
        EXPECT_EQ(e.code(), 18u) << e.what();
    }
    EXPECT_TRUE(watchers().empty());
    // The server goes on serving.
    const std::string file = dir.file("ok");
    ASSERT_TRUE(writeFile(file, "fine\n"));
    cl::FollowSession s = follow(file);
    EXPECT_EQ(nextVersion(s), "fine\n");
}

TEST_F(DvlEndToEnd, FiftyClientsFollowFiftyFiles)
{
    const int fdsBefore = openDescriptors();
    constexpr int kClients = 50;
    std::vector<std::string> files;
    std::vector<cl::FollowSession> sessions;
    for (int i = 0; i < kClients; ++i) {
        files.push_back(dir.file("f" + std::to_string(i)));
        ASSERT_TRUE(writeFile(files.back(), "start " + std::to_string(i) + "\n"));
    }
    for (int i = 0; i < kClients; ++i)
        sessions.push_back(follow(files[i]));
    for (int i = 0; i < kClients; ++i)
        EXPECT_EQ(nextVersion(sessions[i]), "start " + std::to_string(i) + "\n");
    auto running = watchers();
    EXPECT_EQ(running.size(), static_cast<std::size_t>(kClients));

    for (int round = 1; round <= 2; ++round) {
        for (int i = 0; i < kClients; ++i)
            ASSERT_TRUE(replaceFile(files[i], "round " + std::to_string(round) + " of " + std::to_string(i) + "\n"));
        for (int i = 0; i < kClients; ++i)
            EXPECT_EQ(nextVersion(sessions[i]), "round " + std::to_string(round) + " of " + std::to_string(i) + "\n");
    }

    sessions.clear();
    for (pid_t pid : running)
        EXPECT_TRUE(waitGone(pid, kWaitMs)) << "dorvel " << pid << " still runs";
    EXPECT_TRUE(watchers().empty());
    EXPECT_EQ(openDescriptors(), fdsBefore);
}

// ------------------------------------------------------------- dvlfollow

TEST_F(DvlEndToEnd, DvlfollowPrintsEachVersionAndStopsAfterCount)
{
    const std::string file = dir.file("printed");
    ASSERT_TRUE(writeFile(file, "alpha\n"));
    Process p = dvlfollow({"--count", "2", file}, dir.file("dvlfollow.err"));
    std::string got;
    ASSERT_TRUE(readUntil(p.out, "alpha\n", &got, kWaitMs)) << got;
    ASSERT_TRUE(replaceFile(file, "beta\n"));
    EXPECT_TRUE(readToEnd(p.out, &got, kWaitMs));
    int status = waitExit(p, kWaitMs);
    ASSERT_NE(status, -1) << "dvlfollow did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << readFile(dir.file("dvlfollow.err"));
    EXPECT_EQ(got, "alpha\nbeta\n");
    // dvlfollow has left: its watcher is stopped.
    for (pid_t pid : watchers())
        EXPECT_TRUE(waitGone(pid, kWaitMs)) << "dorvel " << pid << " still runs";
    EXPECT_TRUE(watchers().empty());
}

TEST_F(DvlEndToEnd, DvlfollowReports25WhenTheWatcherIsKilled)
{
    const std::string file = dir.file("victim");
    ASSERT_TRUE(writeFile(file, "alive\n"));
    const std::string err = dir.file("dvlfollow.err");
    Process p = dvlfollow({file}, err);
    std::string got;
    ASSERT_TRUE(readUntil(p.out, "alive\n", &got, kWaitMs)) << got;
    auto w = watchers();
    ASSERT_EQ(w.size(), 1u);
    signalProcess(w[0], SIGKILL);
    int status = waitExit(p, kWaitMs);
    ASSERT_NE(status, -1) << "dvlfollow did not end";
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 25);
    EXPECT_NE(readFile(err).find("reply code 25"), std::string::npos) << readFile(err);
    EXPECT_NE(readFile(dir.file("plughost.log")).find("executable exited with a status of 137."), std::string::npos)
        << "the killed watcher's status is logged";
}

TEST_F(DvlEndToEnd, DisposeStopsEveryWatcher)
{
    std::vector<cl::FollowSession> sessions;
    for (int i = 0; i < 3; ++i) {
        const std::string file = dir.file("d" + std::to_string(i));
        ASSERT_TRUE(writeFile(file, "d\n"));
        sessions.push_back(follow(file));
        EXPECT_EQ(nextVersion(sessions.back()), "d\n");
    }
    auto running = watchers();
    ASSERT_EQ(running.size(), 3u);
    int status = server->stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
    for (pid_t pid : running)
        EXPECT_TRUE(waitGone(pid, kWaitMs)) << "dorvel " << pid << " outlived the server";
}

} // namespace
