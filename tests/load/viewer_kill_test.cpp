// The viewer killed with SIGKILL at random moments while ten clients keep
// twenty frames each queued: every frame is answered exactly once (the
// viewer's result, the killed viewer's status or a failure code), nothing
// more follows on any connection, and the server goes on serving with a
// restarted viewer.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "load_support.h"

namespace cl = clientlib;
using namespace loadtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }

constexpr int kClients = 10;
// Each client keeps this many frames queued: it sends one more for every
// answer until the kills are done, then takes the remaining answers.
constexpr int kQueued = 20;
// Bounds the run should the kills stall.
constexpr int kMaxFramesEach = 400;
constexpr uint32_t kWidth = 320, kHeight = 240;
// Kills are spread over the run: the next one waits for 2 to 7 further
// answers, so the viewer has taken whole frames (successful writes) between
// two kills and the plug-in never counts five write failures in a row.
constexpr int kKills = 15;
constexpr int kMinAnswersBetweenKills = 2;
constexpr int kMaxAnswersBetweenKills = 7;

struct ClientOutcome {
    int sent = 0;
    std::vector<uint32_t> answers;
    bool clockOk = false;
    std::string error;
};

// Answers a job may get: the viewer's result for a shown image, the status of
// the killed viewer (128 + SIGKILL), and the plug-in's failure codes for a job
// whose write or result read failed.
const std::set<uint32_t> kAllowed = {0, 128 + SIGKILL, 19, 24, 25};

// Waits (bounded) for a live child named comm that is not in `seen`.
pid_t waitForNewChild(pid_t parent, const std::string &comm, const std::set<pid_t> &seen)
{
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
        for (pid_t p : childrenNamed(parent, comm))
            if (!seen.count(p))
                return p;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

} // namespace

TEST(ViewerKills, EveryQueuedFrameIsAnsweredExactlyOnceAcrossRestarts)
{
    HostOptions options = imageHostOptions();
    options.args = {"--module-dir", MODULE_DIR, "--listen", "ov_handler=127.0.0.1:0"};
    Host host;
    ASSERT_TRUE(host.start(options)) << host.error();
    const cl::Address address = cl::ParseAddress(host.address("ov_handler"));

    // The key holder stays connected for the whole test: its leaving would
    // close every other client.
    cl::ImageSession holder = cl::ImageSession::Connect(address, kWait);
    const uint32_t key = holder.RequestKey(soon());
    ASSERT_EQ(holder.Query(cl::kQueryWidth, 0, soon()), kWidth) << "the viewer does not answer";

    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0;
    int finished = 0;
    std::atomic<bool> killsDone{false};
    std::vector<ClientOutcome> outcomes(kClients);
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            ClientOutcome &out = outcomes[static_cast<std::size_t>(c)];
            try {
                cl::ImageSession s = cl::ImageSession::Connect(address, kWait);
                s.PresentKey(key, soon());
                std::vector<uint8_t> pixels(std::size_t{kWidth} * kHeight * 3, static_cast<uint8_t>(c * 20));
                for (; out.sent < kQueued; ++out.sent)
                    s.SendShow(kWidth, kHeight, 0, 0, pixels, soon());
                while (out.answers.size() < static_cast<std::size_t>(out.sent)) {
                    const uint32_t r = s.ReadResult(soon());
                    {
                        std::lock_guard lock(mutex);
                        out.answers.push_back(r);
                        ++answered;
                        changed.notify_all();
                    }
                    if (!killsDone && out.sent < kMaxFramesEach) {
                        s.SendShow(kWidth, kHeight, 0, 0, pixels, soon());
                        ++out.sent;
                    }
                }
                // The next word after the last answer must be the answer to
                // this time-stamp request: no answer came twice.
                s.ExchangeClock(soon());
                out.clockOk = true;
            } catch (const cl::ClientError &e) {
                out.error = e.what();
            }
            std::lock_guard lock(mutex);
            ++finished;
            changed.notify_all();
        });
    }

    std::mt19937 rng(20240611u);
    std::uniform_int_distribution<int> gap(kMinAnswersBetweenKills, kMaxAnswersBetweenKills);
    std::uniform_int_distribution<int> delayUs(0, 1000);
    std::set<pid_t> killed;
    int kills = 0, killsMissed = 0;
    int lastKillAt = 0;
    for (int k = 0; k < kKills; ++k) {
        // The viewer to kill next is looked up before the moment comes, so
        // the kill itself follows the chosen answer closely.
        const pid_t viewer = waitForNewChild(host.pid(), "orvane.exe", killed);
        if (viewer <= 0)
            break;
        const int target = lastKillAt + gap(rng);
        {
            std::unique_lock lock(mutex);
            const bool reached = changed.wait_for(lock, kWait, [&] { return answered >= target || finished == kClients; });
            if (!reached || finished == kClients)
                break;
        }
        // A random moment within the current frame's life.
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
        // The gap to the next kill is counted from the viewer's death: a
        // dying viewer can still be listed, and answers for its last job may
        // still be on their way.
        if (signalChild(host.pid(), viewer, "orvane.exe", SIGKILL, true)) {
            ++kills;
            killed.insert(viewer);
        } else {
            ++killsMissed;
        }
        std::lock_guard lock(mutex);
        lastKillAt = answered;
    }
    killsDone = true;
    for (auto &t : threads)
        t.join();

    std::map<uint32_t, int> histogram;
    int total = 0, sent = 0, failed = 0;
    for (int c = 0; c < kClients; ++c) {
        const ClientOutcome &out = outcomes[static_cast<std::size_t>(c)];
        EXPECT_EQ(out.error, "") << "client " << c;
        EXPECT_GE(out.sent, kQueued) << "client " << c;
        EXPECT_EQ(out.answers.size(), static_cast<std::size_t>(out.sent)) << "client " << c;
        sent += out.sent;
        EXPECT_TRUE(out.clockOk) << "client " << c << ": the word after its last answer was not the time stamp";
        for (uint32_t a : out.answers) {
            ++histogram[a];
            ++total;
            failed += a != 0;
            EXPECT_TRUE(kAllowed.count(a)) << "client " << c << " got " << a;
        }
    }
    std::printf("viewer kills: %d sent (%d missed their viewer), %zu distinct viewers; %d frames, answers:",
                kills, killsMissed, killed.size(), sent);
    for (const auto &[code, n] : histogram)
        std::printf(" %u x%d", code, n);
    std::printf("\n");

    EXPECT_EQ(total, sent);
    EXPECT_EQ(kills, kKills) << "not every kill landed while frames were queued";
    EXPECT_EQ(killed.size(), static_cast<std::size_t>(kills)) << "a kill hit a viewer that was already killed";
    // One kill costs at most the one job the viewer had in hand.
    EXPECT_LE(failed, kills);

    // Served after the restarts: a fresh client's picture is shown, and
    // exactly one viewer runs.
    cl::ImageSession fresh = cl::ImageSession::Connect(address, kWait);
    fresh.PresentKey(key, soon());
    std::vector<uint8_t> small(64 * 64 * 3, 0x7f);
    EXPECT_EQ(fresh.Show(64, 64, 10, 10, small, soon()), 0u);
    EXPECT_EQ(holder.Query(cl::kQueryWidth, 0, soon()), kWidth);
    EXPECT_EQ(childrenNamed(host.pid(), "orvane.exe").size(), 1u);

    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}
