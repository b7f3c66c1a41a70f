// The window backend on an Xvfb server of the test's own, checked with
// screenshots of the X display taken by xwd.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "viewer_harness.h"

extern char** environ;

namespace orvane_test {
namespace {

bool InPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// Spawns a program from PATH; stdin from /dev/null, stdout to out_fd (or
// /dev/null), stderr to err_path; child_fd_3 becomes the child's descriptor 3.
pid_t Spawn(const std::vector<std::string>& args, int out_fd, const std::string& err_path,
            int child_fd_3 = -1)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    if (child_fd_3 >= 0)
        posix_spawn_file_actions_adddup2(&fa, child_fd_3, 3);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// An Xvfb server on a display number it picks itself (-displayfd), so
// parallel tests never collide.
class Xvfb {
public:
    explicit Xvfb(const std::string& log_path)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid_ = Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp"},
                     -1, log_path, fds[1]);
        close(fds[1]);
        // Xvfb writes the display number once it accepts connections.
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (pid_ > 0 && text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{fds[0], POLLIN, 0};
            if (left <= 0 || poll(&p, 1, int(left)) <= 0)
                break;
            char buf[16];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, size_t(n));
        }
        close(fds[0]);
        if (text.find('\n') == std::string::npos)
            return;
        const int number = std::stoi(text);
        // The socket is there by now; the bounded wait guards against a
        // server that reported a number without listening on it.
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (std::filesystem::exists(socket))
            display_ = ":" + std::to_string(number);
    }

    ~Xvfb() { Stop(); }

    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!WaitChild(pid_) && pid_ > 0) {
                kill(pid_, SIGKILL);
                WaitChild(pid_);
            }
        }
        pid_ = -1;
    }

    bool running() const { return pid_ > 0 && !display_.empty(); }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// A screenshot in the X window dump format, as written by xwd.
struct Screenshot {
    uint32_t width = 0, height = 0, bits_per_pixel = 0, bytes_per_line = 0, byte_order = 0;
    uint32_t masks[3] = {};
    std::vector<uint8_t> data; // the pixel rows

    // The pixel at (x, y) as 0xRRGGBB.
    uint32_t At(uint32_t x, uint32_t y) const
    {
        const size_t bytes = bits_per_pixel / 8;
        const uint8_t* p = &data[size_t(y) * bytes_per_line + size_t(x) * bytes];
        uint32_t v = 0;
        for (size_t i = 0; i < bytes; ++i)
            v |= byte_order == 0 ? uint32_t(p[i]) << (8 * i) : uint32_t(p[i]) << (8 * (bytes - 1 - i));
        uint32_t rgb = 0;
        for (uint32_t mask : masks) {
            const int shift = __builtin_ctz(mask);
            rgb = (rgb << 8) | ((v & mask) >> shift);
        }
        return rgb;
    }
};

// Parses xwd's output: a header of big-endian 32-bit words, the window
// name, the colour map entries (12 bytes each), then the pixel rows.
std::optional<Screenshot> ParseXwd(const std::string& bytes, std::string* why)
{
    if (bytes.size() < 100) {
        *why = "only " + std::to_string(bytes.size()) + " bytes";
        return std::nullopt;
    }
    const auto word = [&](int i) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + 4 * i;
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    };
    const uint32_t header_size = word(0), version = word(1), format = word(2);
    Screenshot s;
    s.width = word(4);
    s.height = word(5);
    s.byte_order = word(7);
    s.bits_per_pixel = word(11);
    s.bytes_per_line = word(12);
    s.masks[0] = word(14);
    s.masks[1] = word(15);
    s.masks[2] = word(16);
    const uint32_t ncolors = word(19);
    if (version != 7 || format != 2 /* ZPixmap */ ||
        (s.bits_per_pixel != 32 && s.bits_per_pixel != 24) || !s.masks[0] || !s.masks[1] ||
        !s.masks[2]) {
        *why = "unexpected header: version " + std::to_string(version) + ", format " +
               std::to_string(format) + ", " + std::to_string(s.bits_per_pixel) + " bpp";
        return std::nullopt;
    }
    const size_t offset = size_t(header_size) + size_t(ncolors) * 12;
    const size_t length = size_t(s.bytes_per_line) * s.height;
    if (bytes.size() < offset + length) {
        *why = "truncated image";
        return std::nullopt;
    }
    s.data.assign(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
    return s;
}

std::optional<Screenshot> TakeScreenshot(const std::string& display, const std::string& err_path,
                                         std::string* why)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t pid = Spawn({"xwd", "-root", "-display", display, "-silent"}, fds[1], err_path);
    close(fds[1]);
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fds[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) {
            *why = "xwd did not finish";
            break;
        }
        char buf[65536];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        bytes.append(buf, size_t(n));
    }
    close(fds[0]);
    if (pid <= 0) {
        *why = "xwd could not be started";
        return std::nullopt;
    }
    auto status = WaitChild(pid);
    if (!status) {
        if (pid > 0)
            kill(pid, SIGKILL);
        status = WaitChild(pid);
    }
    if (status != 0) {
        *why = "xwd failed";
        return std::nullopt;
    }
    return ParseXwd(bytes, why);
}

class WindowViewer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!InPath("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed";
        if (!WindowBackendBuilt())
            GTEST_SKIP() << "the viewer was built without the window backend";
        fds_before_ = OpenFdCount();
        xvfb_ = std::make_unique<Xvfb>(dir_.path() + "/xvfb.log");
        ASSERT_TRUE(xvfb_->running()) << ReadFile(dir_.path() + "/xvfb.log");
    }

    void TearDown() override
    {
        viewer_.reset();
        xvfb_.reset();
        if (fds_before_ > 0) {
            EXPECT_EQ(OpenFdCount(), fds_before_) << "descriptor leak";
        }
    }

    Env ViewerEnv(std::map<std::string, std::string> extra = {}) const
    {
        Env env;
        env.set = {{"DISPLAY", xvfb_->display()}, {"SDL_RENDER_DRIVER", "software"}};
        for (auto& [k, v] : extra)
            env.set[k] = v;
        return env;
    }

    void StartViewer(const Env& env)
    {
        viewer_ = std::make_unique<ViewerProcess>(std::vector<std::string>{"-l", "4", "-s", "0"},
                                                  env, dir_.path() + "/viewer.log");
        ASSERT_TRUE(viewer_->started());
    }

    Screenshot Shot()
    {
        std::string why;
        auto s = TakeScreenshot(xvfb_->display(), dir_.path() + "/xwd.log", &why);
        EXPECT_TRUE(s) << why << " " << ReadFile(dir_.path() + "/xwd.log");
        return s ? *s : Screenshot{};
    }

    // Every pixel of the screen: the image where it was placed, clipped,
    // the fill colour elsewhere.
    static void ExpectScreen(const Screenshot& s, uint32_t fill, int x0, int y0, int w, int h,
                             const std::vector<uint8_t>& img)
    {
        ASSERT_EQ(s.width, 640u);
        ASSERT_EQ(s.height, 480u);
        int mismatches = 0;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) {
                uint32_t want = fill;
                if (x >= x0 && x < x0 + w && y >= y0 && y < y0 + h) {
                    const uint8_t* p = &img[(size_t(y - y0) * w + (x - x0)) * 3];
                    want = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
                }
                const uint32_t got = s.At(uint32_t(x), uint32_t(y));
                if (got != want && ++mismatches <= 5)
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << got
                                  << " not " << want;
            }
        EXPECT_EQ(mismatches, 0);
    }

    TempDir dir_;
    int fds_before_ = 0;
    std::unique_ptr<Xvfb> xvfb_;
    std::unique_ptr<ViewerProcess> viewer_;
};

TEST_F(WindowViewer, ShowsImagesOnTheDisplay)
{
    // No ORVANE_BACKEND: a named display means a window.
    ASSERT_NO_FATAL_FAILURE(StartViewer(ViewerEnv({{"ORVANE_WINDOW", "640x480"}})));
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), 640);
    EXPECT_EQ(viewer_->Request(QueryFrame(2)), 480);

    // The window starts black.
    ExpectScreen(Shot(), 0x000000, 0, 0, 0, 0, {});

    ASSERT_EQ(viewer_->Request(FillFrame(0x204060)), 0);
    const auto img = PatternImage(40, 30, 17);
    ASSERT_EQ(viewer_->Request(Frame(100, 50, 40, 30, img)), 0);
    ExpectScreen(Shot(), 0x204060, 100, 50, 40, 30, img);

    // Clipped at the bottom-right corner, over a new fill.
    ASSERT_EQ(viewer_->Request(FillFrame(0xF0E0D0)), 0);
    ASSERT_EQ(viewer_->Request(Frame(620, 465, 40, 30, img)), 0);
    ExpectScreen(Shot(), 0xF0E0D0, 620, 465, 40, 30, img);

    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 4);
    EXPECT_EQ(viewer_->Request(Frame(-5, 0, 0, 0)), 1001);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
}

TEST_F(WindowViewer, FullscreenCoversTheScreen)
{
    ASSERT_NO_FATAL_FAILURE(StartViewer(ViewerEnv({{"ORVANE_BACKEND", "window"}})));
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), 640);
    EXPECT_EQ(viewer_->Request(QueryFrame(2)), 480);
    const auto img = PatternImage(640, 480, 99);
    ASSERT_EQ(viewer_->Request(Frame(0, 0, 640, 480, img)), 0);
    ExpectScreen(Shot(), 0, 0, 0, 640, 480, img);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
}

TEST_F(WindowViewer, LostDisplayExitsOneAndTheRestartGivesUp)
{
    ASSERT_NO_FATAL_FAILURE(StartViewer(ViewerEnv({{"ORVANE_WINDOW", "320x200"}})));
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), 320);
    ASSERT_TRUE(viewer_->WaitIdle());
    xvfb_->Stop();
    EXPECT_EQ(viewer_->WaitExit(), 1);
    EXPECT_TRUE(viewer_->OutputClosed());
    EXPECT_NE(ReadFile(dir_.path() + "/viewer.log").find("connection to the X display was lost"),
              std::string::npos);
    viewer_.reset();

    // What the plug-in's restart would meet: the display is still gone.
    ASSERT_NO_FATAL_FAILURE(StartViewer(ViewerEnv({{"ORVANE_WINDOW", "320x200"}})));
    EXPECT_EQ(viewer_->WaitExit(), 127);
    EXPECT_NE(ReadFile(dir_.path() + "/viewer.log").find("cannot open the display"),
              std::string::npos);
}

} // namespace
} // namespace orvane_test
