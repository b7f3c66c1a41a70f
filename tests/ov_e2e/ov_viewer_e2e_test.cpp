// End to end with the real viewer, headless, with a PNG snapshot of its canvas
// after every presented frame: ovclient show, fill and query; the viewer
// killed in the middle of a frame and restarted; a viewer that exits 127.
// Readiness: the server's "ready" line, answers, snapshot files (written
// before the answer), processes in /proc; every wait is bounded.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "support/images.h"
#include "ov_process.h"
#include "support/server_test.h"

namespace cl = clientlib;
using namespace ovtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }

// Bytes waiting in the pipe on a process's standard input; -1 when unknown.
int pendingInput(pid_t pid)
{
    if (pid <= 0)
        return -1;
    int fd = ::open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int n = -1;
    if (::ioctl(fd, FIONREAD, &n) != 0)
        n = -1;
    ::close(fd);
    return n;
}

class HeadlessEndToEnd : public testsupport::ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        env.set = {{"ORVANE_BACKEND", "headless"},
                   {"ORVANE_CANVAS", "320x240"},
                   {"ORVANE_SNAPSHOT_DIR", dir.file("snap")},
                   {"XDG_STATE_HOME", dir.file("state")}};
        env.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
        ASSERT_NO_FATAL_FAILURE(startServer(PLUGHOST_EXE, MODULE_DIR, "ov_handler"));
        address = cl::ParseAddress(server->address());
    }

    RunResult ovclient(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{OVCLIENT_EXE, "--connect", server->address(), "--timeout", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env, kWaitMs);
    }

    std::optional<Rgb> snapshot() { return loadPng(dir.file("snap") + "/latest.png"); }

    // The one running viewer.
    pid_t viewerPid()
    {
        pid_t pid = -1;
        waitFor(
            [&] {
                auto v = childrenNamed(server->pid(), "orvane.exe");
                pid = v.size() == 1 ? v[0] : -1;
                return pid > 0;
            },
            kWaitMs);
        return pid;
    }

    cl::ImageSession admitted(uint32_t key)
    {
        cl::ImageSession s = cl::ImageSession::Connect(address, kWait);
        s.PresentKey(key, soon());
        return s;
    }

    // Sends a time-stamp request and waits for its answer: every request sent
    // before it on this connection has been taken into the queue by then.
    static void sync(cl::ImageSession &s)
    {
        s.SendTimeStamp({}, soon());
        EXPECT_EQ(s.ReadClockAnswer(soon()).code, 0u);
    }

    cl::Address address;
};

TEST_F(HeadlessEndToEnd, ShowPutsThePngsPixelsAtTheGivenPosition)
{
    const Rgb img = patternImage(37, 23, 5);
    ASSERT_TRUE(writePng(dir.file("pic.png"), img));

    RunResult r = ovclient({"show", dir.file("pic.png"), "--at", "100,50"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("37x23 at 100,50: result 0"), std::string::npos) << r.out;
    auto snap = snapshot();
    ASSERT_TRUE(snap);
    ASSERT_EQ(snap->width, 320);
    ASSERT_EQ(snap->height, 240);
    std::string report;
    EXPECT_EQ(mismatches(*snap, img, 100, 50, 0x000000, &report), 0) << report;

    // Clipped at the bottom-right corner, over a fill.
    r = ovclient({"fill", "#0000FF"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = ovclient({"show", dir.file("pic.png"), "--at", "300,230"});
    ASSERT_EQ(r.code, 0) << r.err;
    snap = snapshot();
    ASSERT_TRUE(snap);
    report.clear();
    EXPECT_EQ(mismatches(*snap, img, 300, 230, 0x0000FF, &report), 0) << report;
    EXPECT_TRUE(std::filesystem::exists(dir.file("snap") + "/frame-000003.png"));

    // Entirely off the canvas: presented, nothing drawn.
    r = ovclient({"show", dir.file("pic.png"), "--at", "320,0"});
    ASSERT_EQ(r.code, 0) << r.err;
    snap = snapshot();
    ASSERT_TRUE(snap);
    report.clear();
    EXPECT_EQ(mismatches(*snap, img, 300, 230, 0x0000FF, &report), 0) << report;
}

TEST_F(HeadlessEndToEnd, FillAndQuery)
{
    const long long before = wallMicros();
    RunResult r = ovclient({"fill", "#123456"});
    const long long after = wallMicros();
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("fill #123456: result 0", 0), 0u) << r.out;
    auto snap = snapshot();
    ASSERT_TRUE(snap);
    std::string report;
    EXPECT_EQ(mismatches(*snap, Rgb{}, 0, 0, 0x123456, &report), 0) << report;

    EXPECT_EQ(ovclient({"query", "width"}).out, "320\n");
    EXPECT_EQ(ovclient({"query", "height"}).out, "240\n");
    EXPECT_EQ(ovclient({"query", "frames"}).out, "1\n");
    r = ovclient({"query", "onset"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The presentation moment (low 32 bits of the server's wall clock in µs)
    // lies between the moments before and after the fill, on the same clock.
    const uint32_t onset = static_cast<uint32_t>(std::stoull(r.out));
    const uint32_t sinceBefore = onset - static_cast<uint32_t>(before);
    const uint32_t span = static_cast<uint32_t>(after) - static_cast<uint32_t>(before);
    EXPECT_LE(sinceBefore, span) << "onset " << onset << ", before " << before << ", after " << after;
}

// Kills the viewer with SIGKILL while it holds a frame it has not answered:
// `frameSide` x `frameSide` pixels, queued while the viewer is stopped (so it
// takes nothing from its pipe), with a fill queued behind it. The frame's
// client receives the exit status, 137; the fill is served by the restarted
// viewer.
class HeadlessKill : public HeadlessEndToEnd {
protected:
    void killMidFrame(int frameSide)
    {
        cl::ImageSession holder = cl::ImageSession::Connect(address, kWait);
        const uint32_t key = holder.RequestKey(soon());
        ASSERT_EQ(holder.Query(1, 0, soon()), 320u); // the viewer is ready
        const pid_t viewer = viewerPid();
        ASSERT_GT(viewer, 0);

        ASSERT_TRUE(signalProcess(viewer, SIGSTOP));
        // A busy viewer stops only when it is next scheduled; until then it
        // may still take bytes from its pipe.
        ASSERT_TRUE(waitFor([&] { return testsupport::readStat(viewer).state == 'T'; }, kWaitMs))
            << "the viewer did not stop";
        const Rgb frame = patternImage(frameSide, frameSide, 9);
        cl::ImageSession victim = admitted(key);
        victim.SendShow(static_cast<uint32_t>(frameSide), static_cast<uint32_t>(frameSide), 0, 0, frame.pixels, soon());
        // The frame's job is the viewer's before the fill is sent: sent on
        // another connection, the fill could otherwise be queued first.
        const int frameBytes = 16 + frameSide * frameSide * 3;
        // A 1 MiB pipe; the header is written on its own, and the page it
        // went into may not be filled up by the pixels that follow.
        const int expected = std::min(frameBytes, (1 << 20) - 4096);
        ASSERT_TRUE(waitFor([&] { return pendingInput(viewer) >= expected; }, kWaitMs))
            << "the frame never reached the pipe: " << pendingInput(viewer) << " bytes";
        cl::ImageSession next = admitted(key);
        next.SendFill(0x00FF00, soon());
        sync(next);

        ASSERT_TRUE(signalProcess(viewer, SIGKILL));
        EXPECT_EQ(victim.ReadResult(soon()), 137u);
        EXPECT_EQ(next.ReadResult(soon()), 0u);
        EXPECT_TRUE(waitFor([&] { return reaped(viewer); }, kWaitMs));
        const pid_t restarted = viewerPid();
        EXPECT_GT(restarted, 0);
        EXPECT_NE(restarted, viewer);
        EXPECT_EQ(holder.Query(3, 0, soon()), 1u); // frames since the restart: the fill
        auto snap = snapshot();
        ASSERT_TRUE(snap);
        std::string report;
        EXPECT_EQ(mismatches(*snap, Rgb{}, 0, 0, 0x00FF00, &report), 0) << report;
        // The victim's connection stays usable.
        EXPECT_EQ(victim.Fill(0x0000FF, soon()), 0u);
    }
};

// The whole frame (300 x 300, 270 kB) fits the pipe: it is completely
// written and its result awaited when the viewer dies.
TEST_F(HeadlessKill, ViewerKilledHoldingAWholeFrameAnswers137AndTheRestartServesTheNextJob) { killMidFrame(300); }

// 1000 x 1000 (3 MB) does not fit: the frame is partly written, the plug-in
// waits for write-ready, when the viewer dies.
TEST_F(HeadlessKill, ViewerKilledWhileAFrameIsPartlyWrittenAnswers137AndTheRestartServesTheNextJob)
{
    killMidFrame(1000);
}

TEST_F(HeadlessEndToEnd, ViewerExiting127FailsTheQueueWith22AndRefusesLaterClients)
{
    cl::ImageSession holder = cl::ImageSession::Connect(address, kWait);
    const uint32_t key = holder.RequestKey(soon());
    ASSERT_EQ(holder.Query(1, 0, soon()), 320u);
    const pid_t viewer = viewerPid();
    ASSERT_GT(viewer, 0);

    // A restarted viewer meets a snapshot path that is no directory: a
    // failure a restart cannot cure, so it exits 127.
    std::filesystem::rename(dir.file("snap"), dir.file("snap.old"));
    {
        FILE *f = std::fopen(dir.file("snap").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }

    ASSERT_TRUE(signalProcess(viewer, SIGSTOP));
    cl::ImageSession busy = admitted(key);
    busy.SendFill(1, soon()); // written to the stopped viewer, its result awaited
    busy.SendFill(2, soon()); // next in line: handed to the restarted viewer
    sync(busy);
    ASSERT_TRUE(waitFor([&] { return pendingInput(viewer) >= 16; }, kWaitMs));
    std::vector<cl::ImageSession> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(admitted(key));
        queued.back().SendFill(0x100 + static_cast<uint32_t>(i), soon());
        sync(queued.back());
    }

    ASSERT_TRUE(signalProcess(viewer, SIGKILL));
    EXPECT_EQ(busy.ReadResult(soon()), 137u);
    // The restarted viewer received the next frame (exit status 127 answers
    // it) or was already gone when it was written (25).
    const uint32_t handedOver = busy.ReadResult(soon());
    EXPECT_TRUE(handedOver == 127u || handedOver == 25u) << handedOver;
    for (auto &c : queued) {
        EXPECT_EQ(c.ReadResult(soon()), 22u);
        EXPECT_THROW(cl::ReadWord(c.fd(), soon()), cl::ClientError); // closed
    }
    // Given up for good: no viewer left, later clients refused with 22.
    EXPECT_TRUE(waitFor([&] { return childrenNamed(server->pid(), "orvane.exe", true).empty(); }, kWaitMs));
    RunResult r = ovclient({"query", "width"});
    EXPECT_EQ(r.code, 22) << r.err;
    try {
        cl::ImageSession::Connect(address, kWait);
        ADD_FAILURE() << "a client was admitted";
    } catch (const cl::ClientError &e) {
        EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode) << e.what();
        EXPECT_EQ(e.code(), 22u);
    }
    // A client admitted before is answered 22 for a new job.
    EXPECT_EQ(holder.Fill(0, soon()), 22u);
}

} // namespace
