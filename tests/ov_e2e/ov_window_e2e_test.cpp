// End to end with the viewer's window backend on an Xvfb server of the
// test's own: a picture shown by ovclient compared with a screenshot of the
// X display (xwd), and unclutter kept running by the plug-in.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "images.h"
#include "ov_process.h"

using namespace ovtest;

namespace {

constexpr int kWaitMs = 20000;

// Xvfb on a display number it picks itself (-displayfd: written once the
// server accepts connections), so parallel tests never collide.
class Xvfb {
public:
    Xvfb(const std::string &program, const std::string &logFile)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        std::string error;
        proc_ = start({program, "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp"}, Env{}, false,
                      logFile, &error, fds[1]);
        ::close(fds[1]);
        std::string text;
        bool got = proc_.pid > 0 && readUntil(fds[0], "\n", &text, kWaitMs);
        ::close(fds[0]);
        if (!got)
            return;
        const std::string number = text.substr(0, text.find('\n'));
        const std::string socket = "/tmp/.X11-unix/X" + number;
        if (waitFor([&] { return std::filesystem::exists(socket); }, kWaitMs))
            display_ = ":" + number;
    }
    ~Xvfb()
    {
        if (proc_.pid > 0) {
            signalProcess(proc_.pid, SIGTERM);
            if (waitExit(proc_, kWaitMs) == -1 && proc_.pid > 0)
                signalProcess(proc_.pid, SIGKILL); // reaped by proc_'s destructor
        }
    }
    const std::string &display() const { return display_; }

private:
    Process proc_;
    std::string display_;
};

class WindowEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        xvfbProgram = findInPath("Xvfb");
        xwdProgram = findInPath("xwd");
        if (xvfbProgram.empty() || xwdProgram.empty())
            GTEST_SKIP() << "Xvfb or xwd is not installed";
        ASSERT_FALSE(dir.path().empty()) << "mkdtemp failed";
        xvfb = std::make_unique<Xvfb>(xvfbProgram, dir.file("xvfb.log"));
        ASSERT_FALSE(xvfb->display().empty()) << readFile(dir.file("xvfb.log"));
        // A fullscreen window on the display; the software renderer, as Xvfb
        // has no GPU.
        env.set = {{"DISPLAY", xvfb->display()},
                   {"SDL_RENDER_DRIVER", "software"},
                   {"XDG_STATE_HOME", dir.file("state")}};
        env.unset = {"WAYLAND_DISPLAY", "ORVANE_BACKEND", "ORVANE_WINDOW", "ORVANE_CANVAS", "ORVANE_SNAPSHOT_DIR"};
        server = std::make_unique<Server>(PLUGHOST_EXE, MODULE_DIR, env, dir.file("plughost.log"));
        ASSERT_GT(server->port(), 0) << server->error();
    }

    void TearDown() override
    {
        if (server && server->pid() > 0) {
            int status = server->stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
        }
        server.reset();
        xvfb.reset();
        if (HasFailure())
            std::fprintf(stderr, "--- plughost log:\n%s\n", readFile(dir.file("plughost.log")).c_str());
    }

    RunResult ovclient(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{OVCLIENT_EXE, "--connect", server->address(), "--timeout", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env, kWaitMs);
    }

    std::optional<Rgb> screenshot(std::string *why)
    {
        RunResult r = run({xwdProgram, "-root", "-silent", "-display", xvfb->display()}, env, kWaitMs);
        if (r.code != 0) {
            *why = "xwd ended with " + std::to_string(r.code) + ": " + r.err;
            return std::nullopt;
        }
        return parseXwd(r.out, why);
    }

    pid_t unclutterPid()
    {
        pid_t pid = -1;
        waitFor(
            [&] {
                auto v = childrenNamed(server->pid(), "unclutter");
                pid = v.size() == 1 ? v[0] : -1;
                return pid > 0;
            },
            kWaitMs);
        return pid;
    }

    std::string xvfbProgram, xwdProgram;
    TempDir dir;
    Env env;
    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<Server> server;
};

TEST_F(WindowEndToEnd, ShownPictureIsOnTheScreen)
{
    EXPECT_EQ(ovclient({"query", "width"}).out, "640\n");
    EXPECT_EQ(ovclient({"query", "height"}).out, "480\n");
    const Rgb img = patternImage(50, 40, 3);
    ASSERT_TRUE(writePng(dir.file("pic.png"), img));
    RunResult r = ovclient({"fill", "#204060"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = ovclient({"show", dir.file("pic.png"), "--at", "100,50"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("result 0"), std::string::npos) << r.out;

    std::string why;
    auto shot = screenshot(&why);
    ASSERT_TRUE(shot) << why;
    ASSERT_EQ(shot->width, 640);
    ASSERT_EQ(shot->height, 480);
    std::string report;
    EXPECT_EQ(mismatches(*shot, img, 100, 50, 0x204060, &report), 0) << report;

    // Clipped at the bottom-right corner, over a new fill.
    ASSERT_EQ(ovclient({"fill", "#F0E0D0"}).code, 0);
    ASSERT_EQ(ovclient({"show", dir.file("pic.png"), "--at", "620,465"}).code, 0);
    shot = screenshot(&why);
    ASSERT_TRUE(shot) << why;
    report.clear();
    EXPECT_EQ(mismatches(*shot, img, 620, 465, 0xF0E0D0, &report), 0) << report;
}

// unclutter may also exit on its own (a connection the X server refuses under
// load), which uses up a restart like any other exit. So the test ends every
// unclutter it finds until none comes back, and counts the starts in the
// host's debug log: the first one and exactly five restarts.
TEST_F(WindowEndToEnd, UnclutterIsRestartedFiveTimesAndNoMore)
{
    if (findInPath("unclutter").empty())
        GTEST_SKIP() << "unclutter is not installed";
    server.reset();
    server = std::make_unique<Server>(PLUGHOST_EXE, MODULE_DIR, env, dir.file("plughost-debug.log"),
                                      std::vector<std::string>{"--log-level", "5"});
    ASSERT_GT(server->port(), 0) << server->error();
    const std::string log = dir.file("plughost-debug.log");
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
