// Flow control end to end: the real plughost and ov_handler.so with the
// stand-in viewer (standin_viewer.cpp, which answers an image or a fill with
// 0 and a query with the number of images and fills it has read). A client
// streams full-HD frames back to back and reads its answers as they come; a
// burst of short requests arrives in one write; a client never reads its
// answers. Every wait is bounded; nothing is timed.
#include <sys/wait.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "ov_process.h"
#include "support/server_test.h"
#include "support/sockets.h"

namespace cl = clientlib;
using namespace ovtest;
using testsupport::streamPieces;

namespace {

#ifdef OV_E2E_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

cl::Deadline soon() { return cl::Deadline::After(kWait); }
constexpr long kMiB = 1024 * 1024;
constexpr uint32_t kWidth = 1920, kHeight = 1080;

std::string be32(uint32_t v) { return testsupport::be32(v); }

std::string showRequest(uint32_t width, uint32_t height)
{
    std::string r = be32(0) + be32(width) + be32(height) + be32(0) + be32(0);
    r.resize(r.size() + std::size_t{width} * height * 3);
    for (std::size_t i = 20; i < r.size(); i++)
        r[i] = static_cast<char>(i * 31 + i / 4099);
    return r;
}

const std::string kQuery = be32(3) + be32(3) + be32(0);
const std::string kFill = be32(1) + be32(0x203040);

// The answers expected when `pairs` of (job, query) follow `shown` jobs: 0,
// shown + 1, 0, shown + 2, ... (the stand-in counts the jobs it has read).
std::string jobThenCount(std::size_t pairs, uint32_t shown)
{
    std::string s;
    for (std::size_t i = 1; i <= pairs; i++)
        s += be32(0) + be32(shown + static_cast<uint32_t>(i));
    return s;
}

class OvFlowEndToEnd : public testsupport::ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        fdsBefore = -1;
        env.set["XDG_STATE_HOME"] = dir.file("state");
        env.unset = {"DISPLAY", "WAYLAND_DISPLAY", "OV_STANDIN_LOG"};
        ASSERT_NO_FATAL_FAILURE(startServer(PLUGHOST_EXE, STANDIN_MODULE_DIR, "ov_handler"));
        address = cl::ParseAddress(server->address());
        holder = std::make_unique<cl::ImageSession>(cl::ImageSession::Connect(address, kWait));
        key = holder->RequestKey(soon());
    }

    void TearDown() override
    {
        holder.reset();
        ServerTest::TearDown();
    }

    cl::ImageSession admitted(int rcvbuf = 0)
    {
        const int fd = testsupport::connectTo(server->address(), rcvbuf, true);
        EXPECT_GE(fd, 0);
        cl::ImageSession s = cl::ImageSession::Attach(cl::Socket(fd), soon());
        s.PresentKey(key, soon());
        return s;
    }

    cl::Address address;
    std::unique_ptr<cl::ImageSession> holder;
    uint32_t key = 0;
};

} // namespace

// Frames sent back to back, each followed by a query: every answer comes, in
// order. The host reads no more than the queue limit (64 MiB) allows, so its
// peak memory stays below that plus a few frames, however long the stream.
// Meanwhile another client's time-stamp exchange and query are answered.
TEST_F(OvFlowEndToEnd, FramesStreamedBackToBackAreAnsweredInOrderInBoundedMemory)
{
    const std::size_t frames = kSanitized ? 12 : 40;
    const std::string frame = showRequest(kWidth, kHeight);
    cl::ImageSession streamer = admitted();
    EXPECT_EQ(streamer.Show(kWidth, kHeight, 0, 0,
                            std::span(reinterpret_cast<const uint8_t *>(frame.data()) + 20, frame.size() - 20), soon()),
              0u); // buffers warmed up before the peak is measured
    ASSERT_TRUE(testsupport::resetPeakRss(server->pid()));
    const long base = testsupport::statusKb(server->pid(), "VmRSS");
    cl::ImageSession other = admitted();
    bool otherServed = false;
    std::size_t answersBefore = 0;
    const auto progress = streamPieces(
        streamer.fd(), {frame, kQuery}, 2 * frames, 8 * frames,
        [&](const testsupport::StreamProgress &p) {
            if (otherServed || p.piecesSent < frames)
                return;
            // Half-way, with the streamer's queue full: the other client is served.
            answersBefore = p.received.size() / 4;
            other.ExchangeClock(soon());
            EXPECT_LE(other.Query(cl::kQueryFrames, 0, soon()), 1u + frames) << "the jobs the stand-in read";
            otherServed = true;
        },
        std::chrono::seconds(kSanitized ? 240 : 60));
    ASSERT_TRUE(progress.done) << progress.piecesSent << " pieces sent, " << progress.received.size()
                               << " bytes of answers";
    EXPECT_TRUE(otherServed);
    EXPECT_LT(answersBefore, 2 * frames) << "the other client was served before the stream ended";
    EXPECT_TRUE(progress.received == jobThenCount(frames, 1)) << "answers lost or out of order";
    const long peak = testsupport::statusKb(server->pid(), "VmHWM") - base;
    std::printf("%zu full-HD frames streamed: plughost VmRSS %ld kB before, peak %+ld kB\n", frames, base, peak);
    if (!kSanitized) { // the sanitizers keep freed memory in quarantine
        EXPECT_LT(peak * 1024, 64 * kMiB + 4 * static_cast<long>(frame.size())) << "frames were read beyond the limit";
    }
}

// 100,000 short requests (a fill and a query, over and over) in one write:
// each is answered, in order (the queries count the fills before them).
TEST_F(OvFlowEndToEnd, BurstOfShortRequestsInOneWriteIsAnsweredInOrder)
{
    const std::size_t pairs = kSanitized ? 10000 : 50000;
    std::string burst;
    for (std::size_t i = 0; i < pairs; i++)
        burst += kFill + kQuery;
    cl::ImageSession client = admitted();
    const auto progress = streamPieces(client.fd(), {burst}, 1, 8 * pairs, {}, std::chrono::seconds(120));
    ASSERT_TRUE(progress.done) << progress.received.size() << " bytes of answers";
    EXPECT_TRUE(progress.received == jobThenCount(pairs, 0)) << "answers lost or out of order";
}

// A client that sends frames and time stamps and never reads the answers
// (its receive buffer is small, so they pile up in the host) holds up nobody:
// another client is served meanwhile, and the silent client's requests are
// all taken and answered: it finds every answer when it reads at last.
TEST_F(OvFlowEndToEnd, ClientThatNeverReadsItsAnswersHoldsUpNobody)
{
    const std::size_t frames = kSanitized ? 6 : 20, stampsEach = 2000;
    const std::string frame = showRequest(kWidth, kHeight);
    std::string stamps;
    for (std::size_t i = 0; i < stampsEach; i++)
        stamps += be32(2) + "stamp" + std::to_string(100 + i % 900);
    cl::ImageSession silent = admitted(4096);
    cl::ImageSession other = admitted();
    // Everything is sent; nothing is read.
    const auto progress = streamPieces(silent.fd(), {frame, stamps}, 2 * frames, 0, {},
                                       std::chrono::seconds(kSanitized ? 240 : 60), false);
    ASSERT_EQ(progress.piecesSent, 2 * frames) << "the silent client's requests were not all taken";
    // The other client is served while the silent one's answers wait, and
    // sees the silent client's frames all shown in the end.
    other.ExchangeClock(soon());
    uint32_t shown = 0;
    EXPECT_TRUE(waitFor([&] { return (shown = other.Query(cl::kQueryFrames, 0, soon())) == frames; }, kWaitMs))
        << shown << " of " << frames << " frames shown";
    // The silent client reads at last: a word per frame, 28 bytes per stamp.
    const std::size_t expect = frames * (4 + stampsEach * 28);
    std::string got(expect, '\0');
    cl::ReadExact(silent.fd(), got.data(), expect, soon());
    std::size_t echoes = 0;
    for (std::size_t at = got.find("stamp"); at != std::string::npos; at = got.find("stamp", at + 1))
        ++echoes;
    EXPECT_EQ(echoes, frames * stampsEach) << "every stamp answered once";
}
