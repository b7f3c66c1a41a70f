// End to end with the real plughost and ov_handler.so and a stand-in viewer
// (standin_viewer.cpp, installed as orvane.exe in a test module directory):
// the key shared by ovclient processes through the key file, the clock
// exchange, frames as the viewer receives them, and refusals seen by real
// clients. Readiness: the server's "ready" line, the stand-in's log lines,
// the viewer process in /proc; every wait is bounded.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "ov_process.h"
#include "support/server_test.h"

namespace cl = clientlib;
using namespace ovtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }

uint32_t fnv1a(const std::vector<uint8_t> &bytes)
{
    uint32_t h = 2166136261u;
    for (uint8_t b : bytes)
        h = (h ^ b) * 16777619u;
    return h;
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

std::string frameLine(int w0, int w1, int w, int h, long long pixels, uint32_t fnv)
{
    char line[160];
    std::snprintf(line, sizeof line, "frame %d %d %d %d %lld %08x", w0, w1, w, h, pixels, fnv);
    return line;
}

std::vector<std::string> linesStartingWith(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

// CPU time of a process and of its children that it has reaped (utime,
// stime, cutime, cstime of /proc/PID/stat), in clock ticks; -1 when unreadable.
long long cpuTicksWithChildren(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(end + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 17 && in >> field; ++i) // fields 14 to 17
        if (i >= 14)
            ticks += std::stoll(field);
    return in ? ticks : -1;
}

std::string descriptorList(pid_t pid)
{
    std::string out;
    const std::string dirName = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dirName, ec)) {
        std::error_code ec2;
        out += e.path().filename().string() + "->" + std::filesystem::read_symlink(e.path(), ec2).string() + " ";
    }
    return out;
}

class StandinEndToEnd : public testsupport::ServerTest {
protected:
    void startServer(const std::string &mode = "")
    {
        env.set["OV_STANDIN_LOG"] = dir.file("standin.log");
        env.set["XDG_STATE_HOME"] = dir.file("state");
        if (!mode.empty())
            env.set["OV_STANDIN_MODE"] = mode;
        // No display: unclutter cannot stay and is given up after its restarts.
        env.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
        logs = {"plughost.log", "standin.log"};
        ASSERT_NO_FATAL_FAILURE(ServerTest::startServer(PLUGHOST_EXE, STANDIN_MODULE_DIR, "ov_handler",
                                                        {"--log-level", "3", "--log-max-size", "123456"}));
        address = cl::ParseAddress(server->address());
    }

    RunResult ovclient(const std::vector<std::string> &args, const Env &extra = {})
    {
        std::vector<std::string> argv{OVCLIENT_EXE, "--connect", server->address(), "--timeout", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        Env e = env;
        for (const auto &[k, v] : extra.set)
            e.set[k] = v;
        return run(argv, e, kWaitMs);
    }

    std::string keyFile() const
    {
        return dir.file("state") + "/ovclient/127.0.0.1%3A" + std::to_string(server->port());
    }

    // Waits until the stand-in's log holds `count` lines starting with prefix.
    bool waitLogLines(const std::string &prefix, size_t count)
    {
        return waitFor([&] { return linesStartingWith(readFile(dir.file("standin.log")), prefix).size() >= count; },
                       kWaitMs);
    }

    cl::Address address;
};

TEST_F(StandinEndToEnd, ViewerIsStartedWithTheHostsLevelAndSize)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_TRUE(waitLogLines("argv ", 1));
    auto lines = linesStartingWith(readFile(dir.file("standin.log")), "argv ");
    ASSERT_EQ(lines.size(), 1u);
    const std::string moduleDir = std::filesystem::canonical(STANDIN_MODULE_DIR).string();
    EXPECT_EQ(lines[0], "argv " + moduleDir + "/orvane.exe -l 3 -s 123456");
    // Exactly one viewer runs, as a child of plughost.
    EXPECT_EQ(childrenNamed(server->pid(), "orvane.exe").size(), 1u);
}

TEST_F(StandinEndToEnd, TwoOvclientProcessesShareTheStoredKey)
{
    ASSERT_NO_FATAL_FAILURE(startServer());

    // The first run asks for the key, prints and stores it.
    RunResult first = ovclient({"clock", "--samples", "3"});
    ASSERT_EQ(first.code, 0) << first.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(first.err, m, std::regex("key: ([0-9]+)\n"))) << first.err;
    const unsigned long key = std::stoul(m[1]);
    EXPECT_GE(key, 1u);
    EXPECT_LE(key, 2147483647u);
    EXPECT_EQ(readFile(keyFile()), std::to_string(key) + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(keyFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second process presents the stored key: admitted, nothing asked for.
    RunResult second = ovclient({"query", "frames"});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, "0\n");
    EXPECT_EQ(second.err.find("key:"), std::string::npos) << second.err;

    // Two at once, both on the stored key.
    std::string e1, e2;
    Process a =
        start({OVCLIENT_EXE, "--connect", server->address(), "fill", "#102030"}, env, false, dir.file("a.err"), &e1);
    Process b =
        start({OVCLIENT_EXE, "--connect", server->address(), "fill", "#405060"}, env, false, dir.file("b.err"), &e2);
    ASSERT_GT(a.pid, 0) << e1;
    ASSERT_GT(b.pid, 0) << e2;
    int sa = waitExit(a, kWaitMs), sb = waitExit(b, kWaitMs);
    EXPECT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0) << readFile(dir.file("a.err"));
    EXPECT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0) << readFile(dir.file("b.err"));
    // Both fills reached the viewer.
    EXPECT_EQ(linesStartingWith(readFile(dir.file("standin.log")), "frame -1 ").size(), 2u);
    RunResult frames = ovclient({"query", "frames"});
    EXPECT_EQ(frames.out, "2\n") << frames.err;

    // The key is unchanged: the file still holds it, and a wrong key is refused.
    EXPECT_EQ(readFile(keyFile()), std::to_string(key) + "\n");
    RunResult wrong = ovclient({"--key", std::to_string(key % 2147483647u + 1), "query", "frames"});
    EXPECT_EQ(wrong.code, 26) << wrong.err;
    // A client without the key file asks for a key, which was issued already.
    RunResult stranger = ovclient({"query", "frames"}, Env{{{"XDG_STATE_HOME", dir.file("other")}}, {}});
    EXPECT_EQ(stranger.code, 26) << stranger.err;
}

TEST_F(StandinEndToEnd, ClockPrintsASaneOffset)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    RunResult r = ovclient({"clock", "--samples", "50"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::smatch off, unc, trip;
    ASSERT_TRUE(std::regex_search(r.out, off, std::regex("offset: ([-+][0-9.]+) us"))) << r.out;
    ASSERT_TRUE(std::regex_search(r.out, unc, std::regex("uncertainty: ([0-9.]+) us"))) << r.out;
    ASSERT_TRUE(std::regex_search(r.out, trip,
                                  std::regex("round trip: min ([0-9]+) us, median ([0-9.]+) us over ([0-9]+) samples")))
        << r.out;
    const double offset = std::stod(off[1]), uncertainty = std::stod(unc[1]);
    const double minTrip = std::stod(trip[1]), medianTrip = std::stod(trip[2]);
    EXPECT_EQ(std::stoi(trip[3]), 50);
    // Server and client read the same clock: the true offset is 0, and the
    // estimate lies within half the best round trip of it (1 µs for rounding).
    EXPECT_LE(std::abs(offset), uncertainty + 1.0) << r.out;
    EXPECT_LT(std::abs(offset), 1000.0) << r.out;
    EXPECT_DOUBLE_EQ(uncertainty, minTrip / 2) << r.out;
    EXPECT_LE(minTrip, medianTrip) << r.out;
    EXPECT_GE(minTrip, 0.0);
}

TEST_F(StandinEndToEnd, FramesReachTheViewerByteForByteAndJobAnswersKeepTheirOrder)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    cl::ImageSession s = cl::ImageSession::Connect(address, kWait);
    s.RequestKey(soon());

    const std::vector<uint8_t> tiny = pattern(6, 1);
    const std::vector<uint8_t> big = pattern(700 * 600 * 3, 2); // more than the 1 MiB pipe
    // Pipelined: four jobs before the first answer is read.
    s.SendShow(2, 1, 5, 7, tiny, soon());
    s.SendShow(700, 600, 0, 0, big, soon());
    s.SendFill(0x123456, soon());
    s.SendQuery(3, 0, soon());
    EXPECT_EQ(s.ReadResult(soon()), 0u);
    EXPECT_EQ(s.ReadResult(soon()), 0u);
    EXPECT_EQ(s.ReadResult(soon()), 0u);
    EXPECT_EQ(s.ReadResult(soon()), 3u); // the stand-in counts the two images and the fill

    auto frames = linesStartingWith(readFile(dir.file("standin.log")), "frame ");
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], frameLine(5, 7, 2, 1, 6, fnv1a(tiny)));
    EXPECT_EQ(frames[1], frameLine(0, 0, 700, 600, 700 * 600 * 3, fnv1a(big)));
    EXPECT_EQ(frames[2], frameLine(-1, 0x123456, 0, 0, 0, fnv1a({})));
    EXPECT_EQ(frames[3], frameLine(-2, 3, 0, 0, 0, fnv1a({})));
}

// A time stamp is answered at once, without the viewer: it overtakes the
// answers of jobs sent before it that the viewer has not finished.
TEST_F(StandinEndToEnd, TimeStampAnswerOvertakesPendingJobs)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    cl::ImageSession s = cl::ImageSession::Connect(address, kWait);
    s.RequestKey(soon());
    EXPECT_EQ(s.Query(3, 0, soon()), 0u); // the viewer is ready
    auto viewers = childrenNamed(server->pid(), "orvane.exe");
    ASSERT_EQ(viewers.size(), 1u);
    ASSERT_TRUE(signalProcess(viewers[0], SIGSTOP));
    const std::array<uint8_t, 8> echo{1, 2, 3, 4, 5, 6, 7, 8};
    s.SendFill(0x010203, soon());
    s.SendTimeStamp(echo, soon());
    cl::ClockAnswer clock = s.ReadClockAnswer(soon());
    EXPECT_EQ(clock.code, 0u);
    EXPECT_EQ(clock.echo, echo);
    ASSERT_TRUE(signalProcess(viewers[0], SIGCONT));
    EXPECT_EQ(s.ReadResult(soon()), 0u);
}

TEST_F(StandinEndToEnd, KeyRefusalsAndTheKeyHolderLeaving)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    // No key issued yet: a client presenting one gets 27.
    RunResult early = ovclient({"--key", "5", "query", "frames"});
    EXPECT_EQ(early.code, 27) << early.err;

    auto holder = std::make_unique<cl::ImageSession>(cl::ImageSession::Connect(address, kWait));
    const uint32_t key = holder->RequestKey(soon());
    cl::ImageSession other = cl::ImageSession::Connect(address, kWait);
    other.PresentKey(key, soon());
    EXPECT_EQ(other.Query(3, 0, soon()), 0u);
    cl::ImageSession wrong = cl::ImageSession::Connect(address, kWait);
    try {
        wrong.PresentKey(key % 2147483647u + 1, soon());
        ADD_FAILURE() << "a wrong key was accepted";
    } catch (const cl::ClientError &e) {
        EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode);
        EXPECT_EQ(e.code(), 26u);
    }

    // The key holder leaves: the other client is closed by the server.
    holder.reset();
    try {
        uint32_t word = cl::ReadWord(other.fd(), soon());
        ADD_FAILURE() << "the server sent " << word << " instead of closing";
    } catch (const cl::ClientError &e) {
        EXPECT_TRUE(e.kind() == cl::ErrorKind::Closed || e.kind() == cl::ErrorKind::Io) << e.what();
    }
    // The key outlives its holder.
    cl::ImageSession later = cl::ImageSession::Connect(address, kWait);
    later.PresentKey(key, soon());
    EXPECT_EQ(later.Fill(0x010203, soon()), 0u);
}

TEST_F(StandinEndToEnd, ServerDescriptorsReturnAfterClientsLeave)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    auto holder = std::make_unique<cl::ImageSession>(cl::ImageSession::Connect(address, kWait));
    const uint32_t key = holder->RequestKey(soon());
    EXPECT_EQ(holder->Query(3, 0, soon()), 0u);
    // Without a display unclutter ends at once; its restarts come and go
    // with descriptors until the last one.
    ASSERT_TRUE(waitFor([&] { return childrenNamed(server->pid(), "unclutter", true).empty(); }, kWaitMs));
    // One more turn of the server's loop, which frees what the last exit left.
    EXPECT_EQ(holder->Query(3, 0, soon()), 0u);
    const int before = descriptorsOf(server->pid());
    const std::string beforeList = descriptorList(server->pid());
    ASSERT_GT(before, 0);
    for (int round = 0; round < 3; ++round) {
        std::vector<cl::ImageSession> clients;
        for (int i = 0; i < 10; ++i) {
            clients.push_back(cl::ImageSession::Connect(address, kWait));
            clients.back().PresentKey(key, soon());
            clients.back().SendFill(static_cast<uint32_t>(i), soon());
        }
        for (auto &c : clients)
            EXPECT_EQ(c.ReadResult(soon()), 0u);
    }
    // Thirty fills since the first query; the closes may still be under way.
    EXPECT_EQ(holder->Query(3, 0, soon()), 30u);
    // No more than before: descriptors of a finished unclutter may still
    // have been held then.
    EXPECT_TRUE(waitFor([&] { return descriptorsOf(server->pid()) <= before; }, kWaitMs))
        << descriptorsOf(server->pid()) << " descriptors, " << before << " before: " << beforeList << " now "
        << descriptorList(server->pid());
}

// A viewer that exits at once is restarted after a growing delay: after
// about nine starts its restarts come once a second, plughost stays nearly
// idle, and a client's job is still answered.
TEST_F(StandinEndToEnd, ViewerExitingAtOnceIsRestartedWithBackOff)
{
    ASSERT_NO_FATAL_FAILURE(startServer("exit3"));
    auto starts = [&] { return linesStartingWith(readFile(dir.file("standin.log")), "argv ").size(); };
    const std::string longest = "it is restarted after 1000 ms.";
    ASSERT_TRUE(
        waitFor([&] { return readFile(dir.file("plughost.log")).find(longest) != std::string::npos; }, kWaitMs));
    const std::size_t before = starts();
    EXPECT_LE(before, 15u) << "restarts 0, 10, 20 ... 640 ms apart, then 1000";

    // A fixed window of real time over which the CPU time of plughost and
    // the viewers it started and the stand-in's starts are counted: a bound
    // on resources, not a wait for something to happen.
    const long long ticksBefore = cpuTicksWithChildren(server->pid());
    ASSERT_GE(ticksBefore, 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long long ticks = cpuTicksWithChildren(server->pid()) - ticksBefore;
    const std::size_t inWindow = starts() - before;
    EXPECT_GE(inWindow, 1u) << "it is still restarted";
    EXPECT_LE(inWindow, 5u) << "about one start a second";
    EXPECT_LE(ticks, ::sysconf(_SC_CLK_TCK) / 2) << "CPU time of plughost and its viewers over 3 s, in ticks";

    // A client is admitted while the restart waits; its job is answered with
    // the viewer's exit status, or 25 when the viewer had gone before the
    // frame was written.
    cl::ImageSession s = cl::ImageSession::Connect(address, kWait);
    s.RequestKey(soon());
    s.SendFill(0x010203, soon());
    const uint32_t answer = s.ReadResult(soon());
    EXPECT_TRUE(answer == 3 || answer == 25) << answer;
    EXPECT_EQ(readFile(dir.file("plughost.log")).find("[fatal]"), std::string::npos);
}

class StandinGivingUp : public StandinEndToEnd {};

TEST_F(StandinGivingUp, ViewerExiting127RefusesEveryClientWith22)
{
    ASSERT_NO_FATAL_FAILURE(startServer("exit127"));
    // The viewer was started before "ready"; once it has been reaped, the
    // plug-in has handled its exit.
    ASSERT_TRUE(waitFor([&] { return childrenNamed(server->pid(), "orvane.exe", true).empty(); }, kWaitMs));

    RunResult r = ovclient({"clock"});
    EXPECT_EQ(r.code, 22) << r.err;
    EXPECT_NE(r.err.find("127"), std::string::npos) << r.err;
    for (int i = 0; i < 2; ++i) {
        try {
            cl::ImageSession::Connect(address, kWait);
            ADD_FAILURE() << "connection accepted";
        } catch (const cl::ClientError &e) {
            EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode) << e.what();
            EXPECT_EQ(e.code(), 22u);
        }
    }
    // It is not restarted.
    EXPECT_TRUE(childrenNamed(server->pid(), "orvane.exe", true).empty());
}

} // namespace
