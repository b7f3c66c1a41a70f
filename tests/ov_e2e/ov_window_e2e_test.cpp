// End to end with the viewer's window backend on an Xvfb server of the
// test's own, with no window manager: pictures shown through plughost
// compared pixel for pixel with screenshots of the X display (xwd), the
// window following a screen mode change (xrandr), presentation at a chosen
// moment, a display that does not exist, and unclutter kept running by the
// plug-in.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "support/images.h"
#include "ov_process.h"
#include "support/server_test.h"
#include "support/xserver.h"

namespace cl = clientlib;
using namespace ovtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }

// The screen: one of Xvfb's own modes, which carry no pixel clock.
constexpr int kScreenW = 800, kScreenH = 600;

// Counts the occurrences of text in a log.
int count(const std::string &log, const std::string &text)
{
    int n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

class WindowEndToEnd : public testsupport::ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        fdsBefore = -1;
        xvfbProgram = findInPath("Xvfb");
        xwdProgram = findInPath("xwd");
        if (xvfbProgram.empty() || xwdProgram.empty())
            GTEST_SKIP() << "Xvfb or xwd is not installed";
        if (!windowBackendBuilt(std::string(MODULE_DIR) + "/orvane.exe"))
            GTEST_SKIP() << "the viewer was built without the window backend";
        xvfb = std::make_unique<Xvfb>(xvfbProgram, dir.file("xvfb.log"),
                                      std::to_string(kScreenW) + "x" + std::to_string(kScreenH) + "x24");
        ASSERT_FALSE(xvfb->display().empty()) << readFile(dir.file("xvfb.log"));
        // The default window (covering the screen); the software renderer,
        // as Xvfb has no GPU.
        env.set = {
            {"DISPLAY", xvfb->display()}, {"SDL_RENDER_DRIVER", "software"}, {"XDG_STATE_HOME", dir.file("state")}};
        env.unset = {"WAYLAND_DISPLAY",     "ORVANE_BACKEND", "ORVANE_WINDOW", "ORVANE_CANVAS",
                     "ORVANE_SNAPSHOT_DIR", "ORVANE_DISPLAY", "ORVANE_VSYNC"};
    }

    void startServer(const std::map<std::string, std::string> &viewerEnv = {},
                     const std::vector<std::string> &options = {})
    {
        const Env base = env;
        for (const auto &[k, v] : viewerEnv)
            env.set[k] = v;
        ASSERT_NO_FATAL_FAILURE(ServerTest::startServer(PLUGHOST_EXE, MODULE_DIR, "ov_handler", options));
        env = base;
    }

    RunResult ovclient(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{OVCLIENT_EXE, "--connect", server->address(), "--timeout", "20"};
        if (holder) {
            argv.push_back("--key");
            argv.push_back(std::to_string(key));
        }
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env, kWaitMs);
    }

    // The key holder's session: it stays connected for the whole test.
    cl::ImageSession &session()
    {
        if (!holder) {
            holder = std::make_unique<cl::ImageSession>(
                cl::ImageSession::Connect(cl::ParseAddress(server->address()), std::chrono::milliseconds(kWaitMs)));
            key = holder->RequestKey(soon());
        }
        return *holder;
    }

    Rgb shot()
    {
        std::string why;
        auto s = screenshot(xwdProgram, xvfb->display(), env, &why);
        EXPECT_TRUE(s) << why;
        return s ? *s : Rgb{};
    }

    // Waits (bounded) until the viewer's canvas is width x height.
    bool canvasBecomes(int width, int height)
    {
        return waitFor(
            [&] {
                return session().Query(cl::kQueryWidth, 0, soon()) == uint32_t(width) &&
                       session().Query(cl::kQueryHeight, 0, soon()) == uint32_t(height);
            },
            kWaitMs, std::chrono::milliseconds(20));
    }

    std::string xvfbProgram, xwdProgram;
    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<cl::ImageSession> holder;
    uint32_t key = 0;
};

// Every screen pixel of the window's area: the picture where it was sent,
// clipped, the fill elsewhere.
void expectCanvas(const Rgb &screen, int left, int top, int width, int height, const Rgb &picture, int x, int y,
                  uint32_t fill)
{
    ASSERT_GE(screen.width, left + width);
    ASSERT_GE(screen.height, top + height);
    std::string report;
    EXPECT_EQ(mismatches(crop(screen, left, top, width, height), picture, x, y, fill, &report), 0) << report;
}

struct Placement {
    const char *name;
    std::map<std::string, std::string> viewerEnv;
    int width, height; // the canvas, centred on the screen
};

void PrintTo(const Placement &p, std::ostream *os) { *os << p.name; }

class PicturePlacement : public WindowEndToEnd, public ::testing::WithParamInterface<Placement> {};

TEST_P(PicturePlacement, PicturesLandOnTheScreenPixelsTheyWereSentTo)
{
    const Placement &p = GetParam();
    ASSERT_NO_FATAL_FAILURE(startServer(p.viewerEnv));
    EXPECT_EQ(ovclient({"query", "width"}).out, std::to_string(p.width) + "\n");
    EXPECT_EQ(ovclient({"query", "height"}).out, std::to_string(p.height) + "\n");
    const int left = (kScreenW - p.width) / 2, top = (kScreenH - p.height) / 2;
    const Rgb img = patternImage(200, 100, 3);
    ASSERT_TRUE(writePng(dir.file("pic.png"), img));

    RunResult r = ovclient({"fill", "#204080"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = ovclient({"show", dir.file("pic.png"), "--at", "100,100"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("result 0"), std::string::npos) << r.out;
    Rgb screen = shot();
    ASSERT_EQ(screen.width, kScreenW);
    ASSERT_EQ(screen.height, kScreenH);
    expectCanvas(screen, left, top, p.width, p.height, img, 100, 100, 0x204080);

    // Clipped at the bottom-right corner, over a new fill.
    const int x = p.width - 30, y = p.height - 20;
    ASSERT_EQ(ovclient({"fill", "#F0E0D0"}).code, 0);
    r = ovclient({"show", dir.file("pic.png"), "--at", std::to_string(x) + "," + std::to_string(y)});
    ASSERT_EQ(r.code, 0) << r.err;
    expectCanvas(shot(), left, top, p.width, p.height, img, x, y, 0xF0E0D0);
}

INSTANTIATE_TEST_SUITE_P(Windows, PicturePlacement,
                         ::testing::Values(Placement{"WholeScreen", {}, kScreenW, kScreenH},
                                           Placement{"SizeGiven", {{"ORVANE_WINDOW", "320x200"}}, 320, 200}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WindowEndToEnd, ADisplayThatDoesNotExistGivesUp)
{
    ASSERT_NO_FATAL_FAILURE(startServer({{"ORVANE_DISPLAY", "7"}}));
    // The viewer exits 127 at once; the plug-in gives up and refuses clients with 22.
    ASSERT_TRUE(waitFor([&] { return childrenNamed(server->pid(), "orvane.exe", true).empty(); }, kWaitMs));
    RunResult r = ovclient({"query", "width"});
    EXPECT_EQ(r.code, 22) << r.err;
    EXPECT_EQ(count(readFile(dir.file("plughost.log")), "display 7 does not exist"), 1);
}

// xrandr switches Xvfb's screen to a smaller mode of its own and back: the
// window follows the screen, the canvas takes on the new size keeping what
// lies on both, and the refresh period is the mode's.
TEST_F(WindowEndToEnd, TheCanvasFollowsAScreenModeChange)
{
    const std::string xrandr = findInPath("xrandr");
    if (xrandr.empty())
        GTEST_SKIP() << "xrandr is not installed (Debian package x11-xserver-utils)";
    ASSERT_NO_FATAL_FAILURE(startServer());
    cl::ImageSession &s = session();
    const Rgb img = patternImage(200, 100, 5);
    ASSERT_EQ(s.Fill(0x204080, soon()), 0u);
    ASSERT_EQ(s.Show(200, 100, 100, 100, img.pixels, soon()), 0u);
    EXPECT_EQ(s.Query(cl::kQueryRefresh, 0, soon()), 0u);

    // 640 x 480 at 25.175 MHz, 800 x 525 clocks a refresh: 16683 us.
    std::string why;
    ASSERT_TRUE(useMode(xrandr, xvfb->display(), env, "640x480_60", "25.175 640 656 752 800 480 490 492 525", &why))
        << why;
    ASSERT_TRUE(canvasBecomes(640, 480));
    EXPECT_EQ(s.Query(cl::kQueryRefresh, 0, soon()), 16683u);
    Rgb screen = shot();
    ASSERT_EQ(screen.width, 640);
    std::string report;
    EXPECT_EQ(mismatches(screen, img, 100, 100, 0x204080, &report), 0) << report;

    ASSERT_TRUE(useMode(xrandr, xvfb->display(), env, "800x600", "", &why)) << why;
    ASSERT_TRUE(canvasBecomes(kScreenW, kScreenH));
    EXPECT_EQ(s.Query(cl::kQueryRefresh, 0, soon()), 0u);
    // What lay on both canvases is kept; the new parts are black.
    screen = shot();
    ASSERT_EQ(screen.width, kScreenW);
    expectCanvas(screen, 0, 0, 640, 480, img, 100, 100, 0x204080);
    expectCanvas(screen, 640, 0, kScreenW - 640, kScreenH, Rgb{}, 0, 0, 0);
    expectCanvas(screen, 0, 480, 640, kScreenH - 480, Rgb{}, 0, 0, 0);
    const std::string log = readFile(dir.file("plughost.log"));
    EXPECT_EQ(count(log, "the canvas changed from 800x600 to 640x480"), 1) << log;
    EXPECT_EQ(count(log, "the canvas changed from 640x480 to 800x600"), 1) << log;
}

// A moment is armed with request -3 and taken by the next picture or fill.
// Whether a picture came within one refresh of its moment is only certain on
// a screen whose refresh is long against the delays of a busy machine: with
// xrandr, the test first gives the screen a mode of 0.84 s a refresh.
TEST_F(WindowEndToEnd, PresentationAtAChosenMoment)
{
    ASSERT_NO_FATAL_FAILURE(startServer());
    cl::ImageSession &s = session();
    // Xvfb's own mode has no pixel clock: no refresh period, so no swap can
    // be found late.
    EXPECT_EQ(s.Query(cl::kQueryRefresh, 0, soon()), 0u);
    EXPECT_EQ(s.Query(cl::kQueryLate, 0, soon()), 0u);
    int screenW = kScreenW, screenH = kScreenH;
    const std::string xrandr = findInPath("xrandr");
    const bool longRefresh = !xrandr.empty();
    if (longRefresh) {
        // 800 x 525 clocks a refresh at 0.5 MHz: 840000 us.
        std::string why;
        ASSERT_TRUE(useMode(xrandr, xvfb->display(), env, "640x480_slow", "0.5 640 656 752 800 480 490 492 525", &why))
            << why;
        screenW = 640, screenH = 480;
        ASSERT_TRUE(canvasBecomes(screenW, screenH));
        EXPECT_EQ(s.Query(cl::kQueryRefresh, 0, soon()), 840000u);
    }
    const auto expectOnTime = [&](uint32_t result) {
        if (longRefresh) {
            EXPECT_EQ(result, 0u);
        } else {
            EXPECT_TRUE(result == 0u || result == cl::kResultLate) << result;
        }
    };
    std::vector<cl::ClockSample> samples;
    for (int i = 0; i < 8; ++i)
        samples.push_back(s.ExchangeClock(soon()));
    const cl::ClockEstimate clock = cl::EstimateClock(samples);
    const Rgb img = patternImage(200, 100, 9);
    ASSERT_EQ(s.Fill(0x204080, soon()), 0u);
    ASSERT_EQ(s.Show(200, 100, 100, 100, img.pixels, soon()), 0u);

    // 200 ms ahead: presented no earlier, answered 0.
    uint32_t moment = cl::ServerMicrosAt(cl::WallClockMicros() + 200000, clock);
    s.SendPresentAt(moment, soon());
    s.SendFill(0x00C000, soon());
    EXPECT_EQ(s.ReadResult(soon()), 0u);
    expectOnTime(s.ReadResult(soon()));
    const uint32_t onset = s.Query(cl::kQueryOnset, 0, soon());
    EXPECT_GE(int32_t(onset - moment), 0) << "presented " << int32_t(moment - onset) << " us before its moment";

    // Until its moment the picture before stays up (when the screenshot was
    // done by then, which two seconds allow for by far).
    const int64_t later = cl::WallClockMicros() + 2000000;
    s.SendPresentAt(cl::ServerMicrosAt(later, clock), soon());
    s.SendShow(200, 100, 100, 100, img.pixels, soon());
    const Rgb waiting = shot();
    if (cl::WallClockMicros() < later - 100000) {
        expectCanvas(waiting, 0, 0, screenW, screenH, Rgb{}, 0, 0, 0x00C000);
    }
    EXPECT_EQ(s.ReadResult(soon()), 0u);
    expectOnTime(s.ReadResult(soon()));
    expectCanvas(shot(), 0, 0, screenW, screenH, img, 100, 100, 0x00C000);

    // A moment in the past: shown at once, answered 1003.
    const int64_t uncertainty = std::llround(clock.uncertainty_us) + 1;
    const int64_t sent = cl::WallClockMicros();
    s.SendPresentAt(cl::ServerMicrosAt(sent - 3000000, clock), soon());
    s.SendFill(0x800000, soon());
    EXPECT_EQ(s.ReadResult(soon()), 0u);
    EXPECT_EQ(s.ReadResult(soon()), cl::kResultLate);
    const uint32_t pastOnset = s.Query(cl::kQueryOnset, 0, soon());
    const int64_t answered = cl::WallClockMicros();
    EXPECT_GE(int32_t(pastOnset - cl::ServerMicrosAt(sent, clock)), -uncertainty);
    EXPECT_GE(int32_t(cl::ServerMicrosAt(answered, clock) - pastOnset), -uncertainty);
    // The software renderer cannot wait for the refresh: no swap is late.
    EXPECT_EQ(s.Query(cl::kQueryLate, 0, soon()), 0u);

    // The same through ovclient.
    ASSERT_TRUE(writePng(dir.file("pic.png"), img));
    RunResult r = ovclient({"show", dir.file("pic.png"), "--present-at", "+300ms"});
    if (longRefresh) {
        EXPECT_EQ(r.code, 0) << r.err;
    } else {
        EXPECT_TRUE(r.code == 0 || r.code == 30) << r.err;
    }
    EXPECT_NE(r.out.find("after the requested moment"), std::string::npos) << r.out;
    EXPECT_EQ(ovclient({"query", "refresh"}).out, longRefresh ? "840000\n" : "0\n");
    EXPECT_EQ(ovclient({"query", "late"}).out, "0\n");
}

// unclutter may also exit on its own (a connection the X server refuses under
// load), which uses up a restart like any other exit. So the test ends every
// unclutter it finds until none comes back, and counts the starts in the
// host's debug log: the first one and exactly five restarts.
TEST_F(WindowEndToEnd, UnclutterIsRestartedFiveTimesAndNoMore)
{
    if (findInPath("unclutter").empty())
        GTEST_SKIP() << "unclutter is not installed";
    ASSERT_NO_FATAL_FAILURE(startServer({}, {"--log-level", "5"}));
    const std::string log = dir.file("plughost.log");
    auto starts = [&] {
        const std::string text = readFile(log);
        int n = 0;
        for (std::size_t at = text.find(": unclutter -root -onescreen"); at != std::string::npos;
             at = text.find(": unclutter -root -onescreen", at + 1))
            ++n;
        return n;
    };
    std::vector<pid_t> seen;
    for (int round = 0; round < 12; ++round) {
        // Wait for the next unclutter, or for the last start to be used up.
        pid_t pid = -1;
        waitFor(
            [&] {
                auto v = childrenNamed(server->pid(), "unclutter");
                pid = v.size() == 1 ? v[0] : -1;
                return pid > 0 || (starts() == 6 && v.empty());
            },
            kWaitMs);
        if (pid <= 0)
            break;
        for (pid_t old : seen)
            EXPECT_NE(pid, old);
        seen.push_back(pid);
        ASSERT_TRUE(signalProcess(pid, SIGTERM));
        // Reaped only after the plug-in has handled the exit.
        ASSERT_TRUE(waitFor([&] { return reaped(pid); }, kWaitMs));
    }
    EXPECT_EQ(starts(), 6) << "one start and five restarts";
    EXPECT_GE(seen.size(), 1u);
    EXPECT_TRUE(childrenNamed(server->pid(), "unclutter", true).empty());
    // The viewer is not affected.
    EXPECT_EQ(ovclient({"fill", "#000000"}).code, 0);
}

} // namespace
