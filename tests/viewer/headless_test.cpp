// orvane.exe run from outside with the in-memory canvas and PNG snapshots.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "viewer_harness.h"

namespace orvane_test {
namespace {

constexpr int kW = 64;
constexpr int kH = 48;

// What the canvas should hold: filled and drawn pixel by pixel, with no
// clipping arithmetic shared with the viewer.
struct Model {
    int width, height;
    std::vector<uint8_t> rgb;
    Model(int w, int h) : width(w), height(h), rgb(size_t(w) * h * 3, 0) {}
    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
    void Fill(uint32_t c)
    {
        for (size_t i = 0; i < rgb.size(); i += 3) {
            rgb[i] = uint8_t(c >> 16);
            rgb[i + 1] = uint8_t(c >> 8);
            rgb[i + 2] = uint8_t(c);
        }
    }
    void Draw(int64_t x0, int64_t y0, int w, int h, const std::vector<uint8_t>& px)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int64_t cx = x0 + x, cy = y0 + y;
                if (cx >= 0 && cx < width && cy >= 0 && cy < height)
                    std::memcpy(&rgb[(size_t(cy) * width + size_t(cx)) * 3],
                                &px[(size_t(y) * w + x) * 3], 3);
            }
    }
};

class HeadlessViewer : public ::testing::Test {
protected:
    void SetUp() override { fds_before_ = openDescriptors(); }

    void TearDown() override
    {
        viewer_.reset();
        EXPECT_EQ(openDescriptors(), fds_before_) << "descriptor leak";
    }

    // Starts a headless viewer on a kW x kH canvas with snapshots.
    void Start(std::map<std::string, std::string> extra = {}, bool nonblocking = false)
    {
        Env env;
        env.set = {{"ORVANE_BACKEND", "headless"},
                   {"ORVANE_CANVAS", std::to_string(kW) + "x" + std::to_string(kH)},
                   {"ORVANE_SNAPSHOT_DIR", snapdir()}};
        for (auto& [k, v] : extra)
            env.set[k] = v;
        viewer_ = std::make_unique<ViewerProcess>(std::vector<std::string>{"-l", "2", "-s", "0"},
                                                  env, stderr_path(), nonblocking);
        ASSERT_TRUE(viewer_->started());
    }

    std::string snapdir() const { return dir_.path() + "/snap"; }
    std::string stderr_path() const { return dir_.path() + "/stderr"; }
    std::string Snapshot(int frame) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/frame-%06d.png", frame);
        return snapdir() + name;
    }

    // Expects the snapshot to equal the model, pixel for pixel.
    static void ExpectSnapshot(const std::optional<testsupport::Rgb>& img, const Model& model)
    {
        ASSERT_TRUE(img) << "snapshot missing or unreadable";
        ASSERT_EQ(img->width, model.width);
        ASSERT_EQ(img->height, model.height);
        std::string report;
        EXPECT_EQ(
            testsupport::mismatches(*img, {model.width, model.height, model.rgb}, 0, 0, 0, &report),
            0)
            << report;
    }

    TempDir dir_;
    int fds_before_ = 0;
    std::unique_ptr<ViewerProcess> viewer_;
};

TEST_F(HeadlessViewer, DrawsImageAtItsOffsetByteExact)
{
    Start();
    Model model(kW, kH);
    const auto img = PatternImage(5, 4, 40);
    EXPECT_EQ(viewer_->Request(Frame(10, 7, 5, 4, img)), 0);
    model.Draw(10, 7, 5, 4, img);
    ExpectSnapshot(testsupport::loadPng(Snapshot(1)), model);
    // latest.png is the same file as the newest snapshot.
    struct stat a {
    }, b{};
    ASSERT_EQ(stat(Snapshot(1).c_str(), &a), 0);
    ASSERT_EQ(stat((snapdir() + "/latest.png").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);

    // A second, overlapping image leaves the rest of the first in place.
    const auto img2 = PatternImage(3, 2, 200);
    EXPECT_EQ(viewer_->Request(Frame(13, 9, 3, 2, img2)), 0);
    model.Draw(13, 9, 3, 2, img2);
    ExpectSnapshot(testsupport::loadPng(snapdir() + "/latest.png"), model);
    ExpectSnapshot(testsupport::loadPng(Snapshot(2)), model);
    // Only presented frames and latest.png are left; no temporary files.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(snapdir())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 3);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
}

TEST_F(HeadlessViewer, ClipsAtTheEdges)
{
    Start();
    const int w = 10, h = 8;
    const auto img = PatternImage(w, h, 3);
    struct Case {
        int32_t x, y;
    };
    // Right and bottom edges, the corner, the top edge (negative y).
    const Case cases[] = {{kW - 4, 5}, {7, kH - 3}, {kW - 1, kH - 1}, {20, -5}, {0, -7}};
    int frame = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("at " + std::to_string(c.x) + "," + std::to_string(c.y));
        Model model(kW, kH);
        model.Fill(0x000080);
        ASSERT_EQ(viewer_->Request(FillFrame(0x000080)), 0);
        ASSERT_EQ(viewer_->Request(Frame(c.x, c.y, w, h, img)), 0);
        model.Draw(c.x, c.y, w, h, img);
        frame += 2;
        ExpectSnapshot(testsupport::loadPng(Snapshot(frame)), model);
    }
}

TEST_F(HeadlessViewer, ImagesEntirelyOffTheCanvasDrawNothingButArePresented)
{
    Start();
    const auto img = PatternImage(4, 4, 9);
    Model model(kW, kH);
    model.Fill(0x102030);
    ASSERT_EQ(viewer_->Request(FillFrame(0x102030)), 0);
    EXPECT_EQ(viewer_->Request(Frame(kW, 0, 4, 4, img)), 0);
    EXPECT_EQ(viewer_->Request(Frame(0, kH, 4, 4, img)), 0);
    EXPECT_EQ(viewer_->Request(Frame(INT32_MAX, INT32_MAX, 4, 4, img)), 0);
    EXPECT_EQ(viewer_->Request(Frame(3, -4, 4, 4, img)), 0);        // just above the top
    EXPECT_EQ(viewer_->Request(Frame(3, INT32_MIN, 4, 4, img)), 0); // far above
    EXPECT_EQ(viewer_->Request(Frame(5, 5, 0, 0)), 0);              // empty image
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 7);
    ExpectSnapshot(testsupport::loadPng(Snapshot(7)), model);
}

TEST_F(HeadlessViewer, FillPaintsTheWholeCanvasAndImagesGoOnTop)
{
    Start();
    Model model(kW, kH);
    ASSERT_EQ(viewer_->Request(FillFrame(0x123456)), 0);
    model.Fill(0x123456);
    ExpectSnapshot(testsupport::loadPng(Snapshot(1)), model);

    const auto img = PatternImage(6, 3, 77);
    ASSERT_EQ(viewer_->Request(Frame(30, 40, 6, 3, img)), 0);
    model.Draw(30, 40, 6, 3, img);
    ExpectSnapshot(testsupport::loadPng(Snapshot(2)), model);

    // Only the low 24 bits are the colour.
    ASSERT_EQ(viewer_->Request(FillFrame(0xFFABCDEF)), 0);
    model.Fill(0xABCDEF);
    ExpectSnapshot(testsupport::loadPng(Snapshot(3)), model);
}

TEST_F(HeadlessViewer, TheCanvasStartsBlack)
{
    Start();
    const auto img = PatternImage(2, 2, 1);
    ASSERT_EQ(viewer_->Request(Frame(0, 0, 2, 2, img)), 0);
    Model model(kW, kH);
    model.Draw(0, 0, 2, 2, img);
    ExpectSnapshot(testsupport::loadPng(Snapshot(1)), model);
}

TEST_F(HeadlessViewer, AnswersEachQuery)
{
    Start();
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), kW);
    EXPECT_EQ(viewer_->Request(QueryFrame(2)), kH);
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 0);
    EXPECT_EQ(viewer_->Request(QueryFrame(4)), 0); // nothing presented yet

    ASSERT_EQ(viewer_->Request(FillFrame(0x00FF00)), 0);
    // Bracket the presentation by wall-clock readings, in 32-bit arithmetic.
    timeval before{};
    gettimeofday(&before, nullptr);
    ASSERT_EQ(viewer_->Request(Frame(1, 1, 1, 1, {1, 2, 3})), 0);
    timeval after{};
    gettimeofday(&after, nullptr);
    const auto onset = viewer_->Request(QueryFrame(4));
    ASSERT_TRUE(onset);
    const uint32_t lo = uint32_t(int64_t(before.tv_sec) * 1000000 + before.tv_usec);
    const uint32_t hi = uint32_t(int64_t(after.tv_sec) * 1000000 + after.tv_usec);
    EXPECT_LE(uint32_t(uint32_t(*onset) - lo), uint32_t(hi - lo))
        << "onset " << uint32_t(*onset) << " outside [" << lo << ", " << hi << "]";
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 2);
    // Queries themselves are not frames.
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 2);
    EXPECT_EQ(viewer_->Request(QueryFrame(4)), onset);
    // No display: no refresh period, nothing late.
    EXPECT_EQ(viewer_->Request(QueryFrame(5)), 0);
    EXPECT_EQ(viewer_->Request(QueryFrame(6)), 0);
}

TEST_F(HeadlessViewer, UnknownRequestsAnswer1001AndKeepTheStreamInStep)
{
    Start();
    EXPECT_EQ(viewer_->Request(Frame(-4, 0, 0, 0)), 1001);
    EXPECT_EQ(viewer_->Request(Frame(INT32_MIN, 5, 6, 0)), 1001);
    EXPECT_EQ(viewer_->Request(QueryFrame(0)), 1001);
    EXPECT_EQ(viewer_->Request(QueryFrame(7)), 1001);
    EXPECT_EQ(viewer_->Request(QueryFrame(-1)), 1001);
    EXPECT_EQ(viewer_->Request(QueryFrame(1, 1)), 1001); // reserved word not 0
    // A negative Word0 with a size came as a show-image request with its
    // pixels, which are read and dropped; a present-at with a size arms nothing.
    EXPECT_EQ(viewer_->Request(Frame(-7, 0, 100, 100, PatternImage(100, 100, 1))), 1001);
    EXPECT_EQ(viewer_->Request(Frame(-3, 0, 2, 1, PatternImage(2, 1, 1))), 1001);
    EXPECT_EQ(viewer_->Request(QueryFrame(2)), kH);
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 0);
}

TEST_F(HeadlessViewer, ManyFramesInOneWriteGetOneResultEachInOrder)
{
    Start();
    std::vector<uint8_t> batch;
    const auto add = [&](const std::vector<uint8_t>& f) {
        batch.insert(batch.end(), f.begin(), f.end());
    };
    add(QueryFrame(1));
    add(FillFrame(0x010203));
    add(Frame(2, 3, 4, 5, PatternImage(4, 5, 1)));
    add(Frame(-9, 0, 0, 0));
    add(QueryFrame(3));
    add(QueryFrame(2));
    ASSERT_TRUE(viewer_->Write(batch));
    const int32_t expected[] = {kW, 0, 0, 1001, 2, kH};
    for (int32_t want : expected)
        EXPECT_EQ(viewer_->ReadResult(), want);
    ASSERT_TRUE(viewer_->WaitIdle());
    EXPECT_FALSE(viewer_->OutputPending());
}

// The result comes only after the last byte, however the frame is cut.
void CheckSplitFrame(ViewerProcess& v, const std::vector<uint8_t>& frame, size_t piece,
                     int32_t want)
{
    SCOPED_TRACE("piece size " + std::to_string(piece));
    size_t at = 0;
    while (frame.size() - at > 1) {
        const size_t n = std::min(piece, frame.size() - at - 1);
        ASSERT_TRUE(v.Write(frame.data() + at, n));
        at += n;
        if (at % (piece * 16) < piece || frame.size() - at == 1) {
            // Every byte so far taken and the viewer asleep: no early result.
            ASSERT_TRUE(v.WaitIdle());
            ASSERT_FALSE(v.OutputPending()) << "result before the frame was complete, at " << at;
        }
    }
    ASSERT_TRUE(v.Write(frame.data() + at, 1));
    EXPECT_EQ(v.ReadResult(), want);
    ASSERT_TRUE(v.WaitIdle());
    EXPECT_FALSE(v.OutputPending()) << "more than one result";
}

TEST_F(HeadlessViewer, FramesSplitIntoSmallWritesGetExactlyOneResultAfterTheLastByte)
{
    Start();
    const auto img = PatternImage(7, 5, 11);
    for (size_t piece : {1, 3, 16, 17, 50}) {
        CheckSplitFrame(*viewer_, FillFrame(0x0A0B0C), piece, 0);
        CheckSplitFrame(*viewer_, QueryFrame(1), piece, kW);
        CheckSplitFrame(*viewer_, Frame(4, 4, 7, 5, img), piece, 0);
    }
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 10);
    // The last image is drawn whole, over the fill before it.
    Model model(kW, kH);
    model.Fill(0x0A0B0C);
    model.Draw(4, 4, 7, 5, img);
    ExpectSnapshot(testsupport::loadPng(Snapshot(10)), model);
}

TEST_F(HeadlessViewer, WorksOnNonBlockingPipes)
{
    Start({}, /*nonblocking=*/true);
    const auto img = PatternImage(9, 9, 5);
    CheckSplitFrame(*viewer_, Frame(1, 2, 9, 9, img), 10, 0);
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 1);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
}

TEST_F(HeadlessViewer, FullSizeFrameOnTheDefaultCanvas)
{
    Env env;
    env.set = {{"ORVANE_BACKEND", "headless"}, {"DISPLAY", ":1"}};
    viewer_ = std::make_unique<ViewerProcess>(std::vector<std::string>{"-l", "3", "-s", "1048576"},
                                              env, stderr_path());
    ASSERT_TRUE(viewer_->started());
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), 1920);
    EXPECT_EQ(viewer_->Request(QueryFrame(2)), 1080);
    const auto img = PatternImage(1920, 1080, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(viewer_->Request(Frame(0, 0, 1920, 1080, img)), 0);
    EXPECT_EQ(viewer_->Request(QueryFrame(3)), 3);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
    EXPECT_EQ(readFile(stderr_path()), ""); // nothing worth a warning happened
}

// Without a display the viewer says once, at the default log level, that it
// runs headless and why unclutter fails; with one it has nothing to explain.
TEST_F(HeadlessViewer, SaysOnceThatItRunsWithoutADisplay)
{
    const std::string note = "the headless viewer runs";
    for (const auto& [display, want] : {std::pair{"", 1}, std::pair{":1", 0}}) {
        SCOPED_TRACE(std::string("DISPLAY=") + display);
        Env env;
        env.set = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "4x4"}};
        if (*display)
            env.set["DISPLAY"] = display;
        viewer_ = std::make_unique<ViewerProcess>(std::vector<std::string>{"-l", "3", "-s", "0"},
                                                  env, stderr_path());
        ASSERT_TRUE(viewer_->started());
        EXPECT_EQ(viewer_->Request(FillFrame(0)), 0);
        viewer_->CloseInput();
        EXPECT_EQ(viewer_->WaitExit(), 0);
        const std::string err = readFile(stderr_path());
        int count = 0;
        for (size_t at = err.find(note); at != std::string::npos; at = err.find(note, at + 1))
            ++count;
        EXPECT_EQ(count, want) << err;
        if (want) {
            EXPECT_NE(err.find("unclutter needs a display"), std::string::npos) << err;
        }
    }
}

TEST_F(HeadlessViewer, EndOfInputExitsZero)
{
    Start();
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), kW);
    // On the way it has widened its input pipe beyond the default 64 KiB.
    EXPECT_GT(viewer_->InputPipeSize(), 65536);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
    EXPECT_TRUE(viewer_->OutputClosed()); // and no stray result on the way out
}

TEST_F(HeadlessViewer, EndOfInputInsideAFrameExitsZeroWithoutAResult)
{
    Start();
    const auto f = Frame(0, 0, 10, 10, PatternImage(10, 10, 1));
    ASSERT_TRUE(viewer_->Write(f.data(), f.size() - 7));
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
    EXPECT_TRUE(viewer_->OutputClosed());
    EXPECT_FALSE(std::filesystem::exists(Snapshot(1)));
}

TEST_F(HeadlessViewer, HeaderThatCannotBeFramedExitsOneWithoutAResult)
{
    struct Case {
        int32_t w, h;
    };
    for (const Case c : {Case{-1, 5}, Case{5, -1}, Case{50000, 50000}, Case{INT32_MAX, 1}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        Start();
        EXPECT_EQ(viewer_->Request(QueryFrame(1)), kW);
        ASSERT_TRUE(viewer_->Write(Frame(0, 0, c.w, c.h)));
        EXPECT_EQ(viewer_->WaitExit(), 1);
        EXPECT_TRUE(viewer_->OutputClosed());
        EXPECT_NE(readFile(stderr_path()).find("no valid length"), std::string::npos);
        viewer_.reset();
    }
}

TEST_F(HeadlessViewer, SnapshotDirectoryIsCreatedWhenMissing)
{
    Start({{"ORVANE_SNAPSHOT_DIR", dir_.path() + "/new"}});
    EXPECT_EQ(viewer_->Request(FillFrame(0xFFFFFF)), 0);
    Model model(kW, kH);
    model.Fill(0xFFFFFF);
    ExpectSnapshot(testsupport::loadPng(dir_.path() + "/new/frame-000001.png"), model);
}

TEST_F(HeadlessViewer, WithoutSnapshotDirectoryNothingIsWritten)
{
    Env env;
    env.set = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "3x2"}};
    viewer_ = std::make_unique<ViewerProcess>(std::vector<std::string>{}, env, stderr_path());
    ASSERT_TRUE(viewer_->started());
    EXPECT_EQ(viewer_->Request(FillFrame(0x808080)), 0);
    EXPECT_EQ(viewer_->Request(QueryFrame(1)), 3);
    EXPECT_EQ(viewer_->Request(QueryFrame(2)), 2);
    viewer_->CloseInput();
    EXPECT_EQ(viewer_->WaitExit(), 0);
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1); // only the stderr file
}

// Failures a restart cannot cure: exit 127 with a clear message.
class ViewerGivesUp : public ::testing::Test {
protected:
    void Expect127(const std::vector<std::string>& args, std::map<std::string, std::string> env,
                   const std::string& message)
    {
        SCOPED_TRACE(message);
        const int fds = openDescriptors();
        {
            Env e;
            e.set = std::move(env);
            ViewerProcess v(args, e, dir_.path() + "/stderr");
            ASSERT_TRUE(v.started());
            EXPECT_EQ(v.WaitExit(), 127);
            EXPECT_TRUE(v.OutputClosed());
        }
        const std::string err = readFile(dir_.path() + "/stderr");
        EXPECT_NE(err.find(message), std::string::npos) << "stderr: " << err;
        EXPECT_EQ(openDescriptors(), fds);
    }

    TempDir dir_;
};

TEST_F(ViewerGivesUp, OnBadArguments)
{
    const std::map<std::string, std::string> headless{{"ORVANE_BACKEND", "headless"}};
    Expect127({"-x"}, headless, "unknown argument \"-x\"");
    Expect127({"-l"}, headless, "option -l needs a value");
    Expect127({"-l", "5", "-s"}, headless, "option -s needs a value");
    Expect127({"-l", "debug"}, headless, "log level \"debug\" is not an integer");
    Expect127({"-l", "5", "-s", "12k"}, headless, "log size \"12k\" is not an integer");
    Expect127({"-l", "5", "extra"}, headless, "unknown argument \"extra\"");
    Expect127({"-l", "5", "extra"}, headless,
              "usage: orvane.exe [-l LEVEL] [-s SIZE] [-h|--help] [--version]");
}

TEST_F(ViewerGivesUp, OnBadEnvironment)
{
    Expect127({"-l", "5", "-s", "0"}, {{"ORVANE_BACKEND", "tv"}},
              "ORVANE_BACKEND=\"tv\": expected window or headless");
    Expect127({}, {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "0x10"}},
              "ORVANE_CANVAS=\"0x10\": expected WxH");
    Expect127({}, {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "640*480"}},
              "ORVANE_CANVAS=\"640*480\"");
    Expect127({}, {{"ORVANE_WINDOW", "big"}}, "ORVANE_WINDOW=\"big\": expected WxH");
}

TEST_F(ViewerGivesUp, WhenTheSnapshotDirectoryCannotBeUsed)
{
    const std::string file = dir_.path() + "/plainfile";
    {
        std::ofstream(file) << "x";
    }
    Expect127({"-l", "1"}, {{"ORVANE_BACKEND", "headless"}, {"ORVANE_SNAPSHOT_DIR", file}},
              "is not a writable directory");
    Expect127({"-l", "1"},
              {{"ORVANE_BACKEND", "headless"}, {"ORVANE_SNAPSHOT_DIR", dir_.path() + "/a/b"}},
              "cannot create snapshot directory");
}

TEST_F(ViewerGivesUp, WhenAWindowIsForcedWithoutADisplay)
{
    if (!WindowBackendBuilt()) {
        Expect127({}, {{"ORVANE_BACKEND", "window"}}, "built without the window backend");
        return;
    }
    // No DISPLAY at all; SDL is held to X11 so no other video system is tried.
    Expect127({"-l", "1", "-s", "0"}, {{"ORVANE_BACKEND", "window"}, {"SDL_VIDEODRIVER", "x11"}},
              "cannot open the display");
}

TEST_F(ViewerGivesUp, WhenTheNamedDisplayCannotBeOpened)
{
    if (!WindowBackendBuilt())
        GTEST_SKIP() << "the viewer was built without the window backend";
    // A display name is given but no server answers: not headless, but 127,
    // so a viewer whose display went away is not restarted without end.
    int n = 4000;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
           std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock"))
        ++n;
    std::string display = ":";
    display += std::to_string(n);
    Expect127({"-l", "1"}, {{"DISPLAY", display}}, "cannot open the display");
}

} // namespace
} // namespace orvane_test
