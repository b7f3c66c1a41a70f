// Slow and hostile clients against the real host: half an image and then
// silence, a follower that stops reading for a long while, a path that never
// ends, and a storm of connects and closes. In each case the host's memory stays within its
// caps, other clients are served throughout, and nothing crashes.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "load_support.h"

namespace cl = clientlib;
using namespace loadtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }
constexpr long kMiB = 1024 * 1024;

HostOptions hostFor(const std::vector<std::string> &extra)
{
    HostOptions o = imageHostOptions();
    o.args = {"--module-dir", MODULE_DIR};
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    return o;
}

void expectCleanStop(Host &host)
{
    EXPECT_TRUE(host.running()) << "plughost is gone";
    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
}

// Peak resident memory of the host since its last reset, above `base`, in kB.
long peakAbove(const Host &host, long base) { return statusKb(host.pid(), "VmHWM") - base; }

// Version `i` of the followed file: `size` bytes that tell their number.
std::string version(int i, std::size_t size)
{
    char head[32];
    const int n = std::snprintf(head, sizeof head, "version %06d\n", i);
    std::string s(head, static_cast<std::size_t>(n));
    s.resize(size, static_cast<char>('a' + i % 26));
    return s;
}

int versionNumber(const std::string &content)
{
    int i = -1;
    return std::sscanf(content.c_str(), "version %d", &i) == 1 ? i : -1;
}

} // namespace

TEST(HostileClients, HalfAnImageThenSilenceHoldsOnlyItsInput)
{
    constexpr uint32_t kW = 4096, kH = 2048; // 24 MiB of pixels
    constexpr std::size_t kHalf = std::size_t{kW} * kH * 3 / 2;
    constexpr long kMaxInput = 32 * kMiB;
    Host host;
    ASSERT_TRUE(host.start(hostFor({"--listen", "ov_handler=127.0.0.1:0", "--max-input", "32MiB"}))) << host.error();
    const cl::Address address = cl::ParseAddress(host.address("ov_handler"));
    cl::ImageSession holder = cl::ImageSession::Connect(address, kWait);
    const uint32_t key = holder.RequestKey(soon());
    ASSERT_EQ(holder.Query(cl::kQueryFrames, 0, soon()), 0u);
    ASSERT_TRUE(resetPeakRss(host.pid()));
    const long base = statusKb(host.pid(), "VmRSS");

    // The request header and half of the pixels, then nothing.
    const int slow = connectTo(host.address("ov_handler"));
    ASSERT_GE(slow, 0);
    ASSERT_EQ(readWord(slow), 0);
    ASSERT_TRUE(sendAll(slow, be32(key).data(), 4));
    ASSERT_EQ(readWord(slow), 0);
    std::string head = be32(0) + be32(kW) + be32(kH) + be32(0) + be32(0);
    std::vector<char> half(kHalf, '\x55');
    ASSERT_TRUE(sendAll(slow, head.data(), head.size()));
    ASSERT_TRUE(sendAll(slow, half.data(), half.size())) << "the host stopped reading the image";

    // Others are served meanwhile, and only their pictures reach the viewer.
    constexpr int kOthers = 5, kShowsEach = 2;
    std::vector<uint8_t> pixels(64 * 64 * 3, 0x20);
    for (int c = 0; c < kOthers; ++c) {
        cl::ImageSession s = cl::ImageSession::Connect(address, kWait);
        s.PresentKey(key, soon());
        for (int i = 0; i < kShowsEach; ++i)
            EXPECT_EQ(s.Show(64, 64, 8 * c, 8 * i, pixels, soon()), 0u);
        EXPECT_NO_THROW(s.ExchangeClock(soon()));
    }
    EXPECT_EQ(holder.Query(cl::kQueryFrames, 0, soon()), static_cast<uint32_t>(kOthers * kShowsEach));

    const long peak = peakAbove(host, base);
    std::printf("half of a 24 MiB image held: host VmRSS %ld kB at start, peak %+ld kB (--max-input %ld MiB)\n", base,
                peak, kMaxInput / kMiB);
    // The half image is held once; the host's memory stays within its cap.
    EXPECT_GT(peak * 1024, static_cast<long>(kHalf) / 2);
    EXPECT_LT(peak * 1024, kMaxInput + 16 * kMiB);

    // The slow client goes: nothing of its image is ever shown.
    ::close(slow);
    EXPECT_EQ(holder.Fill(0x102030, soon()), 0u);
    EXPECT_EQ(holder.Query(cl::kQueryFrames, 0, soon()), static_cast<uint32_t>(kOthers * kShowsEach + 1));
    expectCleanStop(host);
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}

TEST(HostileClients, FollowerThatStopsReadingIsHeldBackAndThenGetsTheNewestVersion)
{
    // 1,000 versions of 32 KiB (fewer under the sanitizers): far more than
    // the output watermark (1 MiB) plus what the loopback socket buffers take
    // (about 3 MB here) is produced while the silent follower reads nothing.
    constexpr std::size_t kSize = 32 * 1024;
    const int kChanges = kSanitized ? 300 : 1000;
    TempDir dir;
    const std::string file = dir.file("followed");
    ASSERT_TRUE(writeFile(file, version(0, kSize)));
    Host host;
    // A cap only a little above the watermark: the held follower never meets it.
    ASSERT_TRUE(host.start(hostFor({"--listen", "dvl_handler=127.0.0.1:0", "--max-output", "2MiB"}))) << host.error();
    const cl::Address address = cl::ParseAddress(host.address("dvl_handler"));

    // The silent follower takes its two reply codes and its first version,
    // then reads nothing; its small receive buffer keeps the kernel from
    // soaking up the versions.
    const int silentFd = connectTo(host.address("dvl_handler"), 4096);
    ASSERT_GE(silentFd, 0);
    cl::FollowSession silent = cl::FollowSession::Attach(cl::Socket(silentFd), soon());
    silent.Start(file, soon());
    ASSERT_EQ(versionNumber(silent.Next(soon()).content), 0);
    cl::FollowSession reader = cl::FollowSession::Connect(address, kWait);
    reader.Start(file, soon());
    ASSERT_EQ(versionNumber(reader.Next(soon()).content), 0);
    ASSERT_TRUE(resetPeakRss(host.pid()));
    const long base = statusKb(host.pid(), "VmRSS");

    // Each change waits until the reading follower has it: the watchers see
    // every version rather than a burst folded into one. The file keeps its
    // size, so a watcher that reads it while it is being written sees a
    // mixed version of the same size, which a complete one then follows.
    int received = 1;
    for (int i = 1; i <= kChanges; ++i) {
        ASSERT_TRUE(overwriteFile(file, version(i, kSize)));
        int got = -1;
        while (got < i) {
            const cl::FollowEvent ev = reader.Next(soon());
            ASSERT_EQ(ev.kind, cl::FollowEvent::Kind::Version) << "the reader lost its watcher at change " << i;
            ASSERT_EQ(ev.content.size(), kSize);
            got = versionNumber(ev.content);
            ++received;
        }
        ASSERT_EQ(got, i);
    }
    const long peak = peakAbove(host, base);

    // The silent follower reads again: whole versions in order, never a
    // closing code, up to the newest, with the ones it missed skipped.
    int last = 0, versions = 0;
    while (last < kChanges) {
        const cl::FollowEvent ev = silent.Next(soon());
        ASSERT_EQ(ev.kind, cl::FollowEvent::Kind::Version) << "code " << ev.code << " after version " << last;
        ASSERT_EQ(ev.content.size(), kSize);
        const int n = versionNumber(ev.content);
        ASSERT_GE(n, last) << "out of order";
        last = n;
        ++versions;
    }
    std::printf("follower that stopped reading: %d versions reached it of %d written, the newest last; host VmRSS "
                "%ld kB, peak %+ld kB (watermark 1 MiB, --max-output 2 MiB); the reader got %d versions\n",
                versions, kChanges, base, peak, received);
    EXPECT_LT(versions, kChanges) << "the versions it missed were not skipped";
    EXPECT_EQ(host.log().find("(--max-output"), std::string::npos) << "the follower met the output cap";
    // The host held about the watermark plus a version or two for it.
    if (!kSanitized) {
        EXPECT_LT(peak * 1024, 8 * kMiB);
    }

    // Both followers and a late one are served; no watcher was stopped.
    cl::FollowSession late = cl::FollowSession::Connect(address, kWait);
    late.Start(file, soon());
    EXPECT_EQ(versionNumber(late.Next(soon()).content), kChanges);
    EXPECT_EQ(waitForChildren(host.pid(), "dorvel.exe", 3), 3u);
    expectCleanStop(host);
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}

TEST(HostileClients, EndlessPathIsRefusedAfter4096Bytes)
{
    constexpr std::size_t kTotal = 100 * kMiB;
    TempDir dir;
    const std::string file = dir.file("followed");
    ASSERT_TRUE(writeFile(file, "still served\n"));
    Host host;
    ASSERT_TRUE(host.start(hostFor({"--listen", "dvl_handler=127.0.0.1:0"}))) << host.error();
    const cl::Address address = cl::ParseAddress(host.address("dvl_handler"));
    cl::FollowSession before = cl::FollowSession::Connect(address, kWait);
    ASSERT_TRUE(resetPeakRss(host.pid()));
    const long base = statusKb(host.pid(), "VmRSS");

    const int fd = connectTo(host.address("dvl_handler"));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(readWord(fd), 0);
    // 100 MiB of path bytes without a NUL, sent until the host stops taking them.
    const std::vector<char> chunk(kMiB, 'p');
    std::size_t sent = 0;
    int sendError = 0;
    while (sent < kTotal) {
        if (!sendAll(fd, chunk.data(), chunk.size())) {
            sendError = errno;
            break;
        }
        sent += chunk.size();
    }
    int end = 0;
    const std::string answer = readToEnd(fd, &end);
    ::close(fd);
    const long peak = peakAbove(host, base);
    std::printf("endless path: %zu bytes sent before the host closed (%s); answer %zu bytes; host VmRSS %ld kB, "
                "peak %+ld kB\n",
                sent, std::strerror(sendError), answer.size(), base, peak);
    EXPECT_LT(sent, kTotal) << "the host took 100 MiB of path";
    EXPECT_NE(end, 3) << "the connection was not closed";
    // Reply code 18 and the close; a reset may overtake the code, never
    // anything else.
    EXPECT_TRUE(answer == be32(18) || answer.empty()) << "answer of " << answer.size() << " bytes";
    EXPECT_NE(host.log().find("path longer than 4096 bytes."), std::string::npos);
    EXPECT_LT(peak * 1024, 16 * kMiB) << "the host held the path";

    // Served before, during and after.
    before.Start(file, soon());
    EXPECT_EQ(before.Next(soon()).content, "still served\n");
    cl::FollowSession after = cl::FollowSession::Connect(address, kWait);
    after.Start(file, soon());
    EXPECT_EQ(after.Next(soon()).content, "still served\n");
    expectCleanStop(host);
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}

TEST(HostileClients, TenThousandConnectsAndClosesLeaveNothingBehind)
{
    constexpr int kCycles = 10000;
    constexpr int kBatch = 50;
    TempDir dir;
    const std::string file = dir.file("followed");
    ASSERT_TRUE(writeFile(file, "after the storm\n"));
    Host host;
    ASSERT_TRUE(host.start(hostFor({"--listen", "ov_handler=127.0.0.1:0", "--listen", "dvl_handler=127.0.0.1:0"})))
        << host.error();
    const int fdsBefore = openDescriptors(host.pid());
    const long rssBefore = statusKb(host.pid(), "VmRSS");
    const int ownFds = openDescriptors(::getpid());

    // Four ways to go, in turn: at once or after the reply code, each with
    // an orderly close or a reset. Only an orderly close after reading the
    // reply (one in four) leaves a TIME_WAIT socket on this side; closing
    // with the reply unread resets the connection too.
    int replies = 0, connected = 0;
    for (int done = 0; done < kCycles; done += kBatch) {
        std::vector<int> fds;
        for (int i = 0; i < kBatch; ++i) {
            const int fd = connectTo(host.address((done + i) % 2 ? "ov_handler" : "dvl_handler"));
            ASSERT_GE(fd, 0) << "connect " << done + i;
            fds.push_back(fd);
            ++connected;
        }
        for (int i = 0; i < kBatch; ++i) {
            const int way = (done / kBatch + i) % 4;
            if (way >= 2) {
                replies += readWord(fds[static_cast<std::size_t>(i)]) == 0;
            }
            if (way % 2 == 0) {
                const linger reset{1, 0};
                ::setsockopt(fds[static_cast<std::size_t>(i)], SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(fds[static_cast<std::size_t>(i)]);
        }
    }
    EXPECT_EQ(connected, kCycles);
    EXPECT_EQ(replies, kCycles / 2) << "every client that waited got reply code 0";
    EXPECT_EQ(openDescriptors(::getpid()), ownFds);
    const int fdsAfter = waitForDescriptors(host.pid(), fdsBefore);
    const long rssAfter = statusKb(host.pid(), "VmRSS");
    std::printf("%d connects and closes: host descriptors %d -> %d, VmRSS %ld kB -> %ld kB\n", kCycles, fdsBefore,
                fdsAfter, rssBefore, rssAfter);
    EXPECT_EQ(fdsAfter, fdsBefore);
    // Freed memory sits in the sanitizers' quarantine; elsewhere the host
    // gives back what the clients took.
    if (!kSanitized) {
        EXPECT_LT(rssAfter - rssBefore, 8 * 1024) << "kB kept after the clients went";
    }

    cl::ImageSession image = cl::ImageSession::Connect(cl::ParseAddress(host.address("ov_handler")), kWait);
    EXPECT_GT(image.RequestKey(soon()), 0u);
    EXPECT_EQ(image.Fill(0xabcdef, soon()), 0u);
    cl::FollowSession follow = cl::FollowSession::Connect(cl::ParseAddress(host.address("dvl_handler")), kWait);
    follow.Start(file, soon());
    EXPECT_EQ(follow.Next(soon()).content, "after the storm\n");
    expectCleanStop(host);
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}

// A hostile mix on both ports while plughost's standard error is a pipe that
// nobody reads and that is full from the start (a supervisor that does not
// drain it): plughost never waits for its log, every watcher ends, no
// descriptor is lost, and fresh clients are served on both ports.
TEST(HostileClients, HostileMixWithAnUnreadFullStderrLeavesNothingBehind)
{
    const int kConnections = kSanitized ? 600 : 3000;
    constexpr int kBatch = 50;
    TempDir dir;
    const std::string file = dir.file("followed");
    ASSERT_TRUE(writeFile(file, "after the mix\n"));
    HostOptions options = hostFor({"--listen", "ov_handler=127.0.0.1:0", "--listen", "dvl_handler=127.0.0.1:0"});
    options.stderrUnread = true;
    Host host;
    ASSERT_TRUE(host.start(options)) << host.error();
    ASSERT_GT(fillPipe(host.pid(), 2), 0);
    const int fdsBefore = openDescriptors(host.pid());

    // Each way: the port, what is sent, and how the client goes (a close, a
    // reset, or a half-close first). Missing paths, paths that are not files
    // and bytes without a NUL make the watchers report on their stderr.
    enum class End { Close, Reset, HalfClose };
    struct Way {
        const char *plugin;
        std::string bytes;
        End end;
    };
    const std::string nul(1, '\0');
    const std::vector<Way> ways = {
        {"dvl_handler", "/nonexistent\n\x1b[31m/" + nul, End::Close},
        {"dvl_handler", "/dev/zero" + nul, End::HalfClose},
        {"dvl_handler", file + nul, End::Reset},
        {"dvl_handler", dir.path() + nul, End::Close},
        {"dvl_handler", "", End::HalfClose}, // random bytes without a NUL
        {"ov_handler", "", End::Reset},      // random bytes, a first word that is no key
        {"ov_handler", "", End::HalfClose},
    };
    std::mt19937 random(15);
    int connected = 0;
    for (int done = 0; done < kConnections; done += kBatch) {
        std::vector<std::pair<int, const Way *>> batch;
        for (int i = 0; i < kBatch; ++i) {
            const Way &way = ways[static_cast<std::size_t>(done + i) % ways.size()];
            const int fd = connectTo(host.address(way.plugin));
            ASSERT_GE(fd, 0) << "connect " << done + i;
            ++connected;
            std::string bytes = way.bytes;
            if (bytes.empty()) {
                bytes.resize(1 + random() % 2048);
                for (char &b : bytes)
                    b = static_cast<char>(1 + random() % 255);
            }
            sendAll(fd, bytes.data(), bytes.size()); // the host may have closed already
            batch.emplace_back(fd, &way);
        }
        for (const auto &[fd, way] : batch) {
            if (way->end == End::HalfClose) {
                ::shutdown(fd, SHUT_WR);
                int end = 0;
                readToEnd(fd, &end);
            } else if (way->end == End::Reset) {
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(fd);
        }
    }
    EXPECT_EQ(connected, kConnections);
    EXPECT_EQ(waitForChildren(host.pid(), "dorvel.exe", 0), 0u) << "watchers left";
    // A watcher that has just ended is a zombie until the host's next turn reaps it.
    EXPECT_TRUE(testsupport::waitFor([&] { return childrenNamed(host.pid(), "dorvel.exe", true).empty(); }, testsupport::kWaitMs))
        << "watchers left as zombies";
    const int fdsAfter = waitForDescriptors(host.pid(), fdsBefore);
    std::printf("hostile mix of %d connections with stderr full and unread: host descriptors %d -> %d\n", kConnections,
                fdsBefore, fdsAfter);
    EXPECT_EQ(fdsAfter, fdsBefore);
    EXPECT_LT(pipeRoom(host.pid(), 2), 4096) << "the host's stderr was read after all";

    cl::ImageSession image = cl::ImageSession::Connect(cl::ParseAddress(host.address("ov_handler")), kWait);
    EXPECT_GT(image.RequestKey(soon()), 0u);
    EXPECT_NO_THROW(image.ExchangeClock(soon()));
    EXPECT_EQ(image.Fill(0x123456, soon()), 0u);
    cl::FollowSession follow = cl::FollowSession::Connect(cl::ParseAddress(host.address("dvl_handler")), kWait);
    follow.Start(file, soon());
    EXPECT_EQ(follow.Next(soon()).content, "after the mix\n");
    expectCleanStop(host);
}

// Malformed image requests over the wire: each gets its answer and the
// close, none reaches the viewer, and the key holder is served throughout.
TEST(HostileClients, MalformedImageRequestsAreAnsweredAndClosed)
{
    Host host;
    ASSERT_TRUE(host.start(hostFor({"--listen", "ov_handler=127.0.0.1:0", "--max-input", "1MiB"}))) << host.error();
    const std::string address = host.address("ov_handler");

    // What a client receives after its last message: the words, then whether
    // the connection ended (EOF or reset) rather than staying open.
    struct Reply {
        std::string bytes;
        bool closed = false;
    };
    const auto conversation = [&](const std::string &first, const std::string &then) {
        Reply r;
        const int fd = connectTo(address);
        if (fd < 0 || readWord(fd) != 0) {
            ADD_FAILURE() << "not admitted";
            return r;
        }
        sendAll(fd, first.data(), first.size());
        if (!then.empty()) {
            if (readWord(fd) != 0)
                ADD_FAILURE() << "key refused";
            sendAll(fd, then.data(), then.size()); // may fail once the host has closed
        }
        int end = 0;
        r.bytes = readToEnd(fd, &end);
        r.closed = end != 3;
        ::close(fd);
        return r;
    };

    // A key before any was issued.
    Reply early = conversation(be32(12345), "");
    EXPECT_EQ(early.bytes, be32(27));
    EXPECT_TRUE(early.closed);

    cl::ImageSession holder = cl::ImageSession::Connect(cl::ParseAddress(address), kWait);
    const uint32_t key = holder.RequestKey(soon());
    for (uint32_t wrong : {key ^ 1u, 0u, 0xFFFFFFFFu}) {
        Reply r = conversation(be32(wrong), "");
        EXPECT_EQ(r.bytes, be32(26)) << "key " << wrong;
        EXPECT_TRUE(r.closed) << "key " << wrong;
    }
    // Negative sizes and lengths beyond 32 bits.
    const std::pair<int32_t, int32_t> sizes[] = {{-1, 1}, {1, -1}, {65536, 65536}, {715827876, 1}};
    for (const auto &[w, h] : sizes) {
        const std::string request = be32(0) + be32(static_cast<uint32_t>(w)) + be32(static_cast<uint32_t>(h)) +
                                    be32(0) + be32(0) + std::string(64, 'x');
        Reply r = conversation(be32(key), request);
        EXPECT_EQ(r.bytes, be32(19)) << w << " x " << h;
        EXPECT_TRUE(r.closed) << w << " x " << h;
    }
    // An unknown command word is never consumed: nothing is answered and the
    // input piles up until the host's input cap closes the client.
    Reply unknown = conversation(be32(key), be32(7) + std::string(2 * kMiB, 'j'));
    EXPECT_EQ(unknown.bytes, "");
    EXPECT_TRUE(unknown.closed);
    EXPECT_NE(host.log().find("(--max-input)"), std::string::npos);

    EXPECT_EQ(holder.Fill(0x010203, soon()), 0u);
    EXPECT_EQ(holder.Query(cl::kQueryFrames, 0, soon()), 1u) << "a malformed request reached the viewer";
    expectCleanStop(host);
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}
