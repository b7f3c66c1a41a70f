// Frame lengths, clipping, the frame reader on real pipes, and what the
// viewer does with a frame on a canvas that records its calls.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "pixels.h"
#include "protocol.h"
#include "viewer.h"

namespace orvane {
namespace {

// Not inlined: GCC 12 then warns of an array bound that is never crossed.
[[gnu::noipa]] std::vector<uint8_t> Frame(int32_t w0, int32_t w1, int32_t w, int32_t h,
                                          const std::vector<uint8_t>& px = {})
{
    const int32_t words[4] = {w0, w1, w, h};
    std::vector<uint8_t> f(16 + px.size());
    std::memcpy(f.data(), words, 16);
    if (!px.empty())
        std::memcpy(f.data() + 16, px.data(), px.size());
    return f;
}

std::vector<uint8_t> Pixels(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 31);
    return v;
}

struct Pipe {
    int r = -1, w = -1;
    explicit Pipe(int flags = 0)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | flags) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe()
    {
        CloseWrite();
        if (r >= 0)
            close(r);
    }
    void Put(const std::vector<uint8_t>& b) const
    {
        ASSERT_EQ(write(w, b.data(), b.size()), ssize_t(b.size()));
    }
    void CloseWrite()
    {
        if (w >= 0)
            close(w);
        w = -1;
    }
};

using Status = FrameReader::Status;

int ioctl_fionread(int fd, int* n) { return ioctl(fd, FIONREAD, n); }

// Reads until something other than Partial comes back.
Status ReadFrame(FrameReader& r)
{
    Status s;
    do
        s = r.ReadSome();
    while (s == Status::Partial);
    return s;
}

TEST(PixelBytes, ImagesShortRequestsAndUnframeableHeaders)
{
    EXPECT_EQ(PixelBytes({5, 7, 2, 1}), 6);
    EXPECT_EQ(PixelBytes({0, 0, 0, 100}), 0);
    EXPECT_EQ(PixelBytes({0, 0, 1920, 1080}), 1920 * 1080 * 3);
    // The plug-in's short requests have Height 0 and no pixels, whatever
    // Width (a query's second argument) holds.
    EXPECT_EQ(PixelBytes({-1, 0x123456, 0, 0}), 0);
    EXPECT_EQ(PixelBytes({-2, 1, 99, 0}), 0);
    EXPECT_EQ(PixelBytes({-2, 1, -5, 0}), 0);
    // Any other negative Word0 came with a show-image request, which carries
    // its Width x Height x 3 bytes.
    EXPECT_EQ(PixelBytes({-3, 7, 2, 1}), 6);
    EXPECT_EQ(PixelBytes({-1, 0, 4, 5}), 60);
    EXPECT_EQ(PixelBytes({INT32_MIN, 0, -5, -5}), -1);
    // Negative sizes and frames longer than 2^31 - 1 bytes cannot be framed.
    EXPECT_EQ(PixelBytes({0, 0, -1, 1}), -1);
    EXPECT_EQ(PixelBytes({0, 0, 1, -1}), -1);
    EXPECT_EQ(PixelBytes({0, 0, INT32_MAX, INT32_MAX}), -1);
    EXPECT_EQ(PixelBytes({0, 0, 65536, 65536}), -1); // wraps to 0 in 32 bits
    // The longest frame: 16 + 3 * 715827877 = 2^31 - 1 bytes.
    EXPECT_EQ(PixelBytes({0, 0, 715827877, 1}), int64_t{715827877} * 3);
    EXPECT_EQ(PixelBytes({0, 0, 715827878, 1}), -1);
}

TEST(ClipImage, KeepsOnlyWhatFallsOnTheCanvas)
{
    const auto expect = [](std::optional<Clip> c, Clip want) {
        ASSERT_TRUE(c);
        EXPECT_EQ(c->dst_x, want.dst_x);
        EXPECT_EQ(c->dst_y, want.dst_y);
        EXPECT_EQ(c->src_x, want.src_x);
        EXPECT_EQ(c->src_y, want.src_y);
        EXPECT_EQ(c->width, want.width);
        EXPECT_EQ(c->height, want.height);
    };
    expect(ClipImage(100, 50, 10, 20, 5, 4), {10, 20, 0, 0, 5, 4});
    expect(ClipImage(100, 50, 0, 0, 100, 50), {0, 0, 0, 0, 100, 50});
    expect(ClipImage(100, 50, 97, 48, 10, 10), {97, 48, 0, 0, 3, 2});
    expect(ClipImage(100, 50, 0, 0, 300, 200), {0, 0, 0, 0, 100, 50});
    expect(ClipImage(100, 50, 5, -3, 4, 4), {5, 0, 0, 3, 4, 1});
    expect(ClipImage(100, 50, -2, -2, 4, 4), {0, 0, 2, 2, 2, 2});
    EXPECT_FALSE(ClipImage(100, 50, 100, 0, 4, 4));
    EXPECT_FALSE(ClipImage(100, 50, 0, 50, 4, 4));
    EXPECT_FALSE(ClipImage(100, 50, 3, -4, 4, 4));
    EXPECT_FALSE(ClipImage(100, 50, 0, 0, 0, 4));
    EXPECT_FALSE(ClipImage(100, 50, 0, 0, 4, 0));
    // No overflow at the far ends of the 32-bit range.
    EXPECT_FALSE(ClipImage(100, 50, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX));
    EXPECT_FALSE(ClipImage(100, 50, 0, INT32_MIN, 10, INT32_MAX));
}

TEST(FrameReader, ReadsFramesBackToBackFromOneWrite)
{
    Pipe p;
    const auto px = Pixels(6, 1);
    auto bytes = Frame(5, 7, 2, 1, px);
    const auto fill = Frame(-1, 0xABCDEF, 0, 0);
    bytes.insert(bytes.end(), fill.begin(), fill.end());
    ASSERT_EQ(bytes.size(), 22u + 16u);
    p.Put(bytes);
    p.CloseWrite();

    FrameReader r(p.r);
    ASSERT_EQ(ReadFrame(r), Status::Complete);
    EXPECT_EQ(r.header().word0, 5);
    EXPECT_EQ(r.header().word1, 7);
    EXPECT_EQ(r.header().width, 2);
    EXPECT_EQ(r.header().height, 1);
    ASSERT_NE(r.pixels(), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(r.pixels(), r.pixels() + 6), px);

    ASSERT_EQ(ReadFrame(r), Status::Complete);
    EXPECT_EQ(r.header().word0, -1);
    EXPECT_EQ(r.header().word1, 0xABCDEF);

    EXPECT_EQ(ReadFrame(r), Status::EndOfInput);
    EXPECT_FALSE(r.mid_frame());
}

TEST(FrameReader, CompletesOnlyWithTheLastByte)
{
    Pipe p;
    const auto px = Pixels(3 * 4 * 3, 9);
    const auto f = Frame(1, 2, 4, 3, px);
    FrameReader r(p.r);
    for (size_t i = 0; i + 1 < f.size(); ++i) {
        p.Put({f[i]});
        ASSERT_EQ(r.ReadSome(), Status::Partial) << "byte " << i;
    }
    p.Put({f.back()});
    ASSERT_EQ(r.ReadSome(), Status::Complete);
    EXPECT_EQ(std::vector<uint8_t>(r.pixels(), r.pixels() + px.size()), px);
}

TEST(FrameReader, ReusesItsBufferForFramesThatFit)
{
    Pipe p;
    FrameReader r(p.r);
    p.Put(Frame(0, 0, 20, 10, Pixels(600, 3)));
    ASSERT_EQ(ReadFrame(r), Status::Complete);
    const uint8_t* first = r.pixels();
    EXPECT_EQ(r.capacity(), 600u);

    const auto small = Pixels(30, 4);
    p.Put(Frame(0, 0, 5, 2, small));
    ASSERT_EQ(ReadFrame(r), Status::Complete);
    EXPECT_EQ(r.pixels(), first);
    EXPECT_EQ(r.capacity(), 600u);
    EXPECT_EQ(std::vector<uint8_t>(r.pixels(), r.pixels() + 30), small);

    // A larger frame grows the buffer once.
    const auto big = Pixels(900, 5);
    p.Put(Frame(0, 0, 30, 10, big));
    ASSERT_EQ(ReadFrame(r), Status::Complete);
    EXPECT_EQ(r.capacity(), 900u);
    EXPECT_EQ(std::vector<uint8_t>(r.pixels(), r.pixels() + 900), big);
}

TEST(FrameReader, LargeFrameThroughAFullPipe)
{
    Pipe p;
    const auto px = Pixels(320 * 240 * 3, 8);
    const auto f = Frame(0, 0, 320, 240, px);
    // The writer blocks whenever the pipe is full, as the plug-in's feed does.
    std::thread writer([&] { p.Put(f); });
    FrameReader r(p.r);
    const Status s = ReadFrame(r);
    writer.join();
    ASSERT_EQ(s, Status::Complete);
    EXPECT_EQ(std::memcmp(r.pixels(), px.data(), px.size()), 0);
}

TEST(FrameReader, ReportsHeadersThatCannotBeFramed)
{
    for (const auto& dims : {std::pair{-1, 1}, std::pair{1, -7}, std::pair{70000, 70000}}) {
        Pipe p;
        p.Put(Frame(0, 0, dims.first, dims.second));
        FrameReader r(p.r);
        EXPECT_EQ(ReadFrame(r), Status::Malformed);
        EXPECT_NE(r.error().find("no valid length"), std::string::npos) << r.error();
    }
}

TEST(FrameReader, EndOfInputInsideAFrame)
{
    for (size_t cut : {size_t{1}, size_t{15}, size_t{16}, size_t{20}}) {
        Pipe p;
        auto f = Frame(0, 0, 3, 3, Pixels(27, 1));
        f.resize(cut);
        p.Put(f);
        p.CloseWrite();
        FrameReader r(p.r);
        EXPECT_EQ(ReadFrame(r), Status::EndOfInput) << cut;
        EXPECT_TRUE(r.mid_frame()) << cut;
    }
}

TEST(FrameReader, NonBlockingAndFailingDescriptors)
{
    Pipe p(O_NONBLOCK);
    FrameReader r(p.r);
    EXPECT_EQ(r.ReadSome(), Status::WouldBlock);
    p.Put({1, 0, 0});
    EXPECT_EQ(r.ReadSome(), Status::Partial);
    EXPECT_EQ(r.ReadSome(), Status::WouldBlock);

    FrameReader bad(-1);
    EXPECT_EQ(bad.ReadSome(), Status::Failed);
    EXPECT_NE(bad.error().find("Bad file descriptor"), std::string::npos) << bad.error();
}

TEST(WriteResult, HostOrderOrFailure)
{
    Pipe p;
    ASSERT_TRUE(WriteResult(p.w, 7));
    ASSERT_TRUE(WriteResult(p.w, -2));
    unsigned char b[8];
    ASSERT_EQ(read(p.r, b, 8), 8);
    const unsigned char want[8] = {7, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(b, want, 8), 0);
    EXPECT_FALSE(WriteResult(-1, 0));
}

int PipeMaxSize()
{
    FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r");
    int n = 0;
    if (f) {
        if (std::fscanf(f, "%d", &n) != 1)
            n = 0;
        std::fclose(f);
    }
    return n;
}

TEST(WidenInputPipe, GrowsSmallPipesOnly)
{
    Pipe p;
    ASSERT_EQ(fcntl(p.r, F_SETPIPE_SZ, 65536), 65536);
    WidenInputPipe(p.r);
    const int max = PipeMaxSize();
    ASSERT_GT(max, 0);
    // As wide as allowed, in powers of two up to 1 MiB.
    int expected = kPipeBytes;
    while (expected > max)
        expected /= 2;
    EXPECT_EQ(fcntl(p.r, F_GETPIPE_SZ), std::max(expected, 65536));

    // Data already in the pipe survives.
    p.Put({1, 2, 3});
    Pipe big;
    if (max >= 2 * kPipeBytes) {
        ASSERT_EQ(fcntl(big.r, F_SETPIPE_SZ, 2 * kPipeBytes), 2 * kPipeBytes);
        WidenInputPipe(big.r);
        EXPECT_EQ(fcntl(big.r, F_GETPIPE_SZ), 2 * kPipeBytes); // never shrunk
    }
    unsigned char b[3];
    ASSERT_EQ(read(p.r, b, 3), 3);
    EXPECT_EQ(b[2], 3);

    WidenInputPipe(-1); // not a pipe: nothing happens
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    WidenInputPipe(null_fd);
    EXPECT_EQ(fcntl(null_fd, F_GETPIPE_SZ), -1);
    close(null_fd);
}

// Records what the viewer asks of its canvas, on a clock of its own that
// only waits and swaps move on.
class RecordingCanvas : public Canvas {
public:
    int Width() const override { return 10; }
    int Height() const override { return 8; }
    void Fill(uint32_t rgb) override { fills.push_back(rgb); }
    void Draw(const Clip& c, const uint8_t* src, size_t pitch) override
    {
        clips.push_back(c);
        first_pixel = std::vector<uint8_t>(src, src + 3);
        pitches.push_back(pitch);
    }
    bool Prepare() override
    {
        ++prepares;
        return true;
    }
    std::optional<int64_t> Present() override
    {
        ++presents;
        if (!present_ok)
            return std::nullopt;
        now += swap_us;
        onsets.push_back(now);
        return now;
    }
    void Presented(uint32_t frame) override { numbers.push_back(frame); }
    bool Idle(int64_t micros) override
    {
        waited += micros;
        now += micros;
        return idle_ok;
    }
    int64_t Now() const override { return now; }
    uint32_t RefreshPeriodMicros() const override { return period; }
    bool SyncedToRefresh() const override { return synced; }

    std::vector<uint32_t> fills;
    std::vector<Clip> clips;
    std::vector<size_t> pitches;
    std::vector<uint8_t> first_pixel;
    std::vector<uint32_t> numbers;
    std::vector<int64_t> onsets;
    int presents = 0, prepares = 0;
    bool present_ok = true, idle_ok = true;
    int64_t now = int64_t{1700000000} * 1000000; // a wall-clock time in µs
    int64_t waited = 0;
    int64_t swap_us = 0;
    uint32_t period = 16667;
    bool synced = true;
};

class ViewerOnCanvas : public ::testing::Test {
protected:
    // Feeds one frame through a reader and the viewer; the result, if any.
    std::optional<int32_t> Run(const std::vector<uint8_t>& frame,
                               Viewer::Outcome want = Viewer::Outcome::Answered)
    {
        in_.Put(frame);
        EXPECT_EQ(ReadFrame(reader_), Status::Complete);
        EXPECT_EQ(viewer_.Handle(reader_), want);
        int pending = 0;
        ioctl_fionread(out_.r, &pending);
        if (pending < 4)
            return std::nullopt;
        int32_t v;
        EXPECT_EQ(read(out_.r, &v, 4), 4);
        return v;
    }

    // A present-at request for `ahead` µs from the canvas's now.
    std::vector<uint8_t> PresentAt(int64_t ahead) const
    {
        return Frame(kRequestPresentAt, int32_t(uint32_t(canvas_.now + ahead)), 0, 0);
    }

    Pipe in_, out_;
    RecordingCanvas canvas_;
    FrameReader reader_{in_.r};
    Viewer viewer_{canvas_, out_.w};
};

TEST_F(ViewerOnCanvas, DrawsTheClippedPartFromTheRightSourcePixel)
{
    // 4x3 image at (8, -1) on a 10x8 canvas: columns 0-1, rows 1-2 show.
    std::vector<uint8_t> px(4 * 3 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i);
    EXPECT_EQ(Run(Frame(8, -1, 4, 3, px), Viewer::Outcome::Answered), 0);
    ASSERT_EQ(canvas_.clips.size(), 1u);
    EXPECT_EQ(canvas_.clips[0].dst_x, 8);
    EXPECT_EQ(canvas_.clips[0].dst_y, 0);
    EXPECT_EQ(canvas_.clips[0].width, 2);
    EXPECT_EQ(canvas_.clips[0].height, 2);
    EXPECT_EQ(canvas_.pitches[0], 12u);
    // Row 1, column 0 of the image: byte 12.
    EXPECT_EQ(canvas_.first_pixel, (std::vector<uint8_t>{12, 13, 14}));
    EXPECT_EQ(canvas_.numbers, (std::vector<uint32_t>{1}));

    // Entirely outside: nothing drawn, still presented and counted.
    EXPECT_EQ(Run(Frame(10, 0, 4, 3, px), Viewer::Outcome::Answered), 0);
    EXPECT_EQ(canvas_.clips.size(), 1u);
    EXPECT_EQ(canvas_.presents, 2);
    EXPECT_EQ(viewer_.frames_presented(), 2u);
}

TEST_F(ViewerOnCanvas, FillUsesTheLow24Bits)
{
    EXPECT_EQ(Run(Frame(-1, int32_t(0xFF112233), 0, 0), Viewer::Outcome::Answered), 0);
    EXPECT_EQ(canvas_.fills, (std::vector<uint32_t>{0x112233}));
    EXPECT_EQ(canvas_.presents, 1);
}

TEST_F(ViewerOnCanvas, QueriesAreAnsweredWithoutPresenting)
{
    EXPECT_EQ(Run(Frame(-2, 1, 0, 0), Viewer::Outcome::Answered), 10);
    EXPECT_EQ(Run(Frame(-2, 2, 0, 0), Viewer::Outcome::Answered), 8);
    EXPECT_EQ(Run(Frame(-2, 3, 0, 0), Viewer::Outcome::Answered), 0);
    EXPECT_EQ(Run(Frame(-2, 4, 0, 0), Viewer::Outcome::Answered), 0);
    EXPECT_EQ(Run(Frame(-2, 5, 0, 0), Viewer::Outcome::Answered), 16667);
    EXPECT_EQ(Run(Frame(-2, 6, 0, 0), Viewer::Outcome::Answered), 0);
    EXPECT_EQ(Run(Frame(-2, 3, 1, 0), Viewer::Outcome::Answered), kResultUnknown);
    EXPECT_EQ(Run(Frame(-2, 7, 0, 0), Viewer::Outcome::Answered), kResultUnknown);
    EXPECT_EQ(canvas_.presents, 0);
}

TEST_F(ViewerOnCanvas, ALostDisplayGetsNoResult)
{
    canvas_.present_ok = false;
    EXPECT_EQ(Run(Frame(-1, 0, 0, 0), Viewer::Outcome::DisplayLost), std::nullopt);
    EXPECT_EQ(Run(Frame(0, 0, 1, 1, {1, 2, 3}), Viewer::Outcome::DisplayLost), std::nullopt);
    EXPECT_EQ(viewer_.frames_presented(), 0u);
    EXPECT_TRUE(canvas_.numbers.empty());

    // Lost while a picture waits for its moment.
    canvas_.present_ok = true;
    canvas_.idle_ok = false;
    EXPECT_EQ(Run(PresentAt(5000)), 0);
    EXPECT_EQ(Run(Frame(-1, 0, 0, 0), Viewer::Outcome::DisplayLost), std::nullopt);
    EXPECT_EQ(canvas_.presents, 2);
}

TEST(ResolveDeadline, NearestTimeWithTheseLow32Bits)
{
    const int64_t two32 = int64_t{1} << 32;
    struct Case {
        int64_t now;
        int64_t offset; // the deadline sent, as now + offset modulo 2^32
        int64_t want;   // the deadline taken, relative to now
    };
    const Case cases[] = {
        {two32 * 400, 200000, 200000},
        {two32 * 400, -1000000, -1000000},
        {two32 * 400 + two32 - 10, 15, 15},               // low bits wrap to 5
        {two32 * 400 + 5, -15, -15},                      // back across the wrap
        {two32 * 400 + 77, two32 / 2 - 1, two32 / 2 - 1}, // the farthest ahead
        {two32 * 400 + 77, two32 / 2, -two32 / 2},        // one more: taken as past
        {two32 * 400 + 77, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveDeadline(uint32_t(c.now + c.offset), c.now), c.now + c.want)
            << "now " << c.now << " offset " << c.offset;
}

// One timed picture: armed `ahead` µs from now on a display with `period`
// (0: unknown); the swap itself takes `swap` µs.
struct TimedCase {
    int64_t ahead, swap;
    uint32_t period;
    int32_t want;
    bool waits; // prepared ahead and held until the deadline
};

// The row itself, not the struct's bytes (padding included) in the test's name.
void PrintTo(const TimedCase& c, std::ostream* os)
{
    *os << "ahead " << c.ahead << " swap " << c.swap << " period " << c.period;
}

class TimedPresentation : public ViewerOnCanvas, public ::testing::WithParamInterface<TimedCase> {};

TEST_P(TimedPresentation, HeldUntilTheDeadlineAndJudgedAgainstOneRefresh)
{
    const TimedCase c = GetParam();
    canvas_.period = c.period;
    canvas_.swap_us = c.swap;
    const int64_t deadline = canvas_.now + c.ahead;
    EXPECT_EQ(Run(PresentAt(c.ahead)), 0);
    EXPECT_EQ(canvas_.presents, 0); // arming shows nothing
    EXPECT_EQ(Run(Frame(-1, 0x445566, 0, 0)), c.want);
    ASSERT_EQ(canvas_.onsets.size(), 1u);
    EXPECT_GE(canvas_.onsets[0], c.waits ? deadline : 0);
    EXPECT_EQ(canvas_.onsets[0], c.waits ? deadline + c.swap : canvas_.now);
    EXPECT_EQ(canvas_.prepares, c.waits ? 1 : 0);
    EXPECT_EQ(canvas_.waited, c.waits ? c.ahead : 0);
    EXPECT_EQ(Run(Frame(-2, 4, 0, 0)), int32_t(uint32_t(canvas_.onsets[0])));

    // The next picture is not held.
    EXPECT_EQ(Run(Frame(-1, 0, 0, 0)), 0);
    EXPECT_EQ(canvas_.prepares, c.waits ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Deadlines, TimedPresentation,
    ::testing::Values(TimedCase{200000, 0, 16667, 0, true},
                      TimedCase{200000, 16667, 16667, 0, true}, // one refresh after it
                      TimedCase{200000, 16668, 16667, kResultLate, true},
                      TimedCase{0, 0, 16667, 0, false},      // now: shown at once
                      TimedCase{-16667, 0, 16667, 0, false}, // just within one refresh
                      TimedCase{-16668, 0, 16667, kResultLate, false},
                      TimedCase{-1000000, 0, 16667, kResultLate, false},
                      TimedCase{-20000, 0, 20000, 0, false}, // the display's own period
                      TimedCase{-16667, 0, 0, 0, false},     // unknown: 60 Hz assumed
                      TimedCase{-16668, 0, 0, kResultLate, false}));

TEST_F(ViewerOnCanvas, TheArmedMomentBelongsToTheNextPictureOrFill)
{
    // Queries do not take it; a second arming replaces the first.
    EXPECT_EQ(Run(PresentAt(1000000)), 0);
    EXPECT_EQ(Run(Frame(-2, 1, 0, 0)), 10);
    EXPECT_EQ(Run(PresentAt(300000)), 0);
    const int64_t deadline = canvas_.now + 300000;
    EXPECT_EQ(Run(Frame(1, 1, 1, 1, {9, 9, 9})), 0);
    ASSERT_EQ(canvas_.onsets.size(), 1u);
    EXPECT_EQ(canvas_.onsets[0], deadline);

    // A present-at request with a size is unknown and arms nothing.
    EXPECT_EQ(Run(Frame(kRequestPresentAt, int32_t(uint32_t(canvas_.now + 5000)), 1, 0)),
              kResultUnknown);
    EXPECT_EQ(Run(Frame(kRequestPresentAt, int32_t(uint32_t(canvas_.now + 5000)), 1, 1, {1, 2, 3})),
              kResultUnknown);
    EXPECT_EQ(Run(Frame(-1, 0, 0, 0)), 0);
    EXPECT_EQ(canvas_.waited, 300000);
}

TEST_F(ViewerOnCanvas, LateSwapsAreCountedOnlyWhenSyncedToAKnownRefresh)
{
    struct Case {
        bool synced;
        uint32_t period;
        int64_t swap;
        int32_t late_after;
    };
    // Cumulative: query 6 counts since the start.
    const Case cases[] = {{true, 16667, 16667, 0}, {true, 16667, 25000, 0},
                          {true, 16667, 25001, 1}, {false, 16667, 100000, 1},
                          {true, 0, 100000, 1},    {true, 10000, 15001, 2}};
    for (const Case& c : cases) {
        canvas_.synced = c.synced;
        canvas_.period = c.period;
        canvas_.swap_us = c.swap;
        EXPECT_EQ(Run(Frame(-1, 0, 0, 0)), 0);
        EXPECT_EQ(Run(Frame(-2, 6, 0, 0)), c.late_after) << c.period << " " << c.swap;
        EXPECT_EQ(Run(Frame(-2, 5, 0, 0)), int32_t(c.period));
    }
}

TEST(PixelCanvas, ResizeKeepsWhatLiesOnBothCanvases)
{
    const Size from{7, 5};
    for (const Size to : {Size{9, 8}, Size{3, 2}, Size{9, 2}, Size{3, 8}, Size{7, 5}}) {
        SCOPED_TRACE(std::to_string(to.width) + "x" + std::to_string(to.height));
        PixelCanvas c(from);
        const auto px = Pixels(size_t(from.width) * from.height * 3, 17);
        c.Draw(Clip{0, 0, 0, 0, from.width, from.height}, px.data(), size_t(from.width) * 3);
        c.Resize(to);
        ASSERT_EQ(c.size(), to);
        ASSERT_EQ(c.pitch(), size_t(to.width) * 3);
        for (int y = 0; y < to.height; ++y)
            for (int x = 0; x < to.width; ++x) {
                const bool kept = x < from.width && y < from.height;
                const uint8_t* want = &px[(size_t(y) * from.width + x) * 3];
                for (int k = 0; k < 3; ++k)
                    ASSERT_EQ(c.at(x, y)[k], kept ? want[k] : 0) << x << "," << y;
            }
    }
}

TEST_F(ViewerOnCanvas, StepMapsReaderOutcomesToExitStatuses)
{
    EXPECT_EQ(Step(Status::Partial, reader_, viewer_), std::nullopt);
    EXPECT_EQ(Step(Status::WouldBlock, reader_, viewer_), std::nullopt);
    EXPECT_EQ(Step(Status::EndOfInput, reader_, viewer_), kExitEndOfInput);
    EXPECT_EQ(Step(Status::Malformed, reader_, viewer_), kExitRestart);
    EXPECT_EQ(Step(Status::Failed, reader_, viewer_), kExitRestart);
}

} // namespace
} // namespace orvane
