// The window backend on an Xvfb server of the test's own, checked with
// screenshots of the X display taken by xwd.
#include <gtest/gtest.h>

#include <memory>

#include "support/xserver.h"
#include "viewer_harness.h"

namespace orvane_test {
namespace {

using testsupport::Rgb;

class WindowViewer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::findInPath("Xvfb").empty() || testsupport::findInPath("xwd").empty())
            GTEST_SKIP() << "Xvfb or xwd is not installed";
        if (!WindowBackendBuilt())
            GTEST_SKIP() << "the viewer was built without the window backend";
        fds_before_ = openDescriptors();
        xvfb_ = std::make_unique<testsupport::Xvfb>(testsupport::findInPath("Xvfb"),
                                                    dir_.path() + "/xvfb.log");
        ASSERT_FALSE(xvfb_->display().empty()) << readFile(dir_.path() + "/xvfb.log");
    }

    void TearDown() override
    {
        viewer_.reset();
        xvfb_.reset();
        if (fds_before_ > 0) {
            EXPECT_EQ(openDescriptors(), fds_before_) << "descriptor leak";
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

    Rgb Shot()
    {
        std::string why;
        auto s =
            testsupport::screenshot(testsupport::findInPath("xwd"), xvfb_->display(), {}, &why);
        EXPECT_TRUE(s) << why;
        return s ? *s : Rgb{};
    }

    // Every pixel of the screen: the image where it was placed, clipped,
    // the fill colour elsewhere.
    static void ExpectScreen(const Rgb& s, uint32_t fill, int x0, int y0, int w, int h,
                             const std::vector<uint8_t>& img)
    {
        ASSERT_EQ(s.width, 640);
        ASSERT_EQ(s.height, 480);
        std::string report;
        EXPECT_EQ(testsupport::mismatches(s, Rgb{w, h, img}, x0, y0, fill, &report), 0) << report;
    }

    TempDir dir_;
    int fds_before_ = 0;
    std::unique_ptr<testsupport::Xvfb> xvfb_;
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
    xvfb_->stop();
    EXPECT_EQ(viewer_->WaitExit(), 1);
    EXPECT_TRUE(viewer_->OutputClosed());
    EXPECT_NE(readFile(dir_.path() + "/viewer.log").find("connection to the X display was lost"),
              std::string::npos);
    viewer_.reset();

    // What the plug-in's restart would meet: the display is still gone.
    ASSERT_NO_FATAL_FAILURE(StartViewer(ViewerEnv({{"ORVANE_WINDOW", "320x200"}})));
    EXPECT_EQ(viewer_->WaitExit(), 127);
    EXPECT_NE(readFile(dir_.path() + "/viewer.log").find("cannot open the display"),
              std::string::npos);
}

} // namespace
} // namespace orvane_test
