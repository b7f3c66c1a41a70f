// Many idle clients on both plug-ins at once, and the descriptor limit: every
// client below the limit is accepted, a client beyond it is closed cleanly
// and the server goes on serving once descriptors are free again.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "load_support.h"

namespace cl = clientlib;
using namespace loadtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }

HostOptions bothPlugins()
{
    HostOptions o = imageHostOptions();
    o.args = {"--module-dir", MODULE_DIR, "--listen", "ov_handler=127.0.0.1:0", "--listen", "dvl_handler=127.0.0.1:0"};
    return o;
}

class Sockets {
public:
    ~Sockets() { closeAll(); }
    void add(int fd) { fds_.push_back(fd); }
    std::size_t size() const { return fds_.size(); }
    int operator[](std::size_t i) const { return fds_[i]; }
    void closeLast(std::size_t n)
    {
        for (; n > 0 && !fds_.empty(); --n) {
            ::close(fds_.back());
            fds_.pop_back();
        }
    }
    void closeAll() { closeLast(fds_.size()); }

private:
    std::vector<int> fds_;
};

// The host serves both plug-ins: an image client is issued the key and fills
// the screen, a follower receives a file's content. The sessions are handed
// back: the key holder's leaving would close every other image client.
struct Served {
    cl::ImageSession image;
    cl::FollowSession follow;
};

Served expectServed(const Host &host, const std::string &file, const std::string &content)
{
    Served s{cl::ImageSession::Connect(cl::ParseAddress(host.address("ov_handler")), kWait),
             cl::FollowSession::Connect(cl::ParseAddress(host.address("dvl_handler")), kWait)};
    EXPECT_GT(s.image.RequestKey(soon()), 0u);
    EXPECT_EQ(s.image.Fill(0x336699, soon()), 0u);
    s.follow.Start(file, soon());
    const cl::FollowEvent ev = s.follow.Next(soon());
    EXPECT_EQ(ev.kind, cl::FollowEvent::Kind::Version);
    EXPECT_EQ(ev.content, content);
    return s;
}

// Sockets that have neither data nor an end of stream waiting.
int quietCount(const Sockets &s)
{
    std::vector<pollfd> p;
    for (std::size_t i = 0; i < s.size(); ++i)
        p.push_back({s[i], POLLIN, 0});
    const int ready = ::poll(p.data(), p.size(), 0);
    return static_cast<int>(s.size()) - std::max(ready, 0);
}

} // namespace

TEST(ManyClients, ThousandIdleClientsOnEachPlugin)
{
    // Both ends of every connection live on this machine: the test and the
    // host each need a descriptor per client, plus their own.
    const long limit = raiseFileLimit();
    const int perPlugin = static_cast<int>(std::min<long>(1000, (limit - 100) / 2));
    ASSERT_GE(perPlugin, 100) << "descriptor limit " << limit << " is too low for this test";
    if (perPlugin < 1000)
        std::printf("descriptor limit %ld: %d clients per plug-in instead of 1000\n", limit, perPlugin);

    TempDir dir;
    const std::string file = dir.file("followed");
    ASSERT_TRUE(writeFile(file, "idle clients\n"));
    Host host;
    ASSERT_TRUE(host.start(bothPlugins())) << host.error();
    const long rssBefore = statusKb(host.pid(), "VmRSS");
    const int fdsBefore = openDescriptors(host.pid());

    Sockets ov, dvl;
    for (int i = 0; i < perPlugin; ++i) {
        const int a = connectTo(host.address("ov_handler"));
        const int b = connectTo(host.address("dvl_handler"));
        ASSERT_GE(a, 0) << "connect " << i;
        ASSERT_GE(b, 0) << "connect " << i;
        ov.add(a);
        dvl.add(b);
    }
    int ovAccepted = 0, dvlAccepted = 0;
    for (int i = 0; i < perPlugin; ++i) {
        ovAccepted += readWord(ov[static_cast<std::size_t>(i)]) == 0;
        dvlAccepted += readWord(dvl[static_cast<std::size_t>(i)]) == 0;
    }
    EXPECT_EQ(ovAccepted, perPlugin);
    EXPECT_EQ(dvlAccepted, perPlugin);
    const int fdsIdle = waitForDescriptors(host.pid(), fdsBefore + 2 * perPlugin);
    EXPECT_EQ(fdsIdle, fdsBefore + 2 * perPlugin) << "one descriptor per client";
    const long rssIdle = statusKb(host.pid(), "VmRSS");
    std::printf("%d idle clients on each plug-in: host VmRSS %ld kB -> %ld kB (%.2f kB per client), "
                "descriptors %d -> %d, limit %ld\n",
                perPlugin, rssBefore, rssIdle, double(rssIdle - rssBefore) / (2.0 * perPlugin), fdsBefore, fdsIdle,
                limit);

    {
        // Served while they idle; the idle ones were not disturbed.
        const Served served = expectServed(host, file, "idle clients\n");
        EXPECT_EQ(quietCount(ov), perPlugin);
        EXPECT_EQ(quietCount(dvl), perPlugin);
        EXPECT_TRUE(host.running());
        ov.closeAll();
        dvl.closeAll();
    }
    EXPECT_EQ(waitForDescriptors(host.pid(), fdsBefore), fdsBefore) << "descriptors left after the clients went";
    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}

TEST(ManyClients, ClientBeyondTheDescriptorLimitIsClosedCleanly)
{
    constexpr long kLimit = 64;
    TempDir dir;
    const std::string file = dir.file("followed");
    ASSERT_TRUE(writeFile(file, "at the limit\n"));
    HostOptions options = bothPlugins();
    options.fileLimit = kLimit;
    // UBSan checks an object's dynamic type the first time it meets it by
    // probing memory through a pipe. At the descriptor limit it gets none and
    // reports a false type error in the host's first formatted log line;
    // info-level start-up lines format such a line while descriptors remain.
    if (kSanitized)
        options.args.insert(options.args.end(), {"--log-level", "4"});
    Host host;
    ASSERT_TRUE(host.start(options)) << host.error();
    const int fdsBefore = openDescriptors(host.pid());
    ASSERT_GT(fdsBefore, 0);

    // Connect until the host turns a client away. Each accepted client gets
    // reply code 0; the first one beyond the limit sees the connection end
    // without a word.
    Sockets accepted;
    int fdsAtRefusal = -1;
    for (int i = 0; i < 4 * kLimit; ++i) {
        const int fd = connectTo(host.address(i % 2 ? "ov_handler" : "dvl_handler"));
        ASSERT_GE(fd, 0) << "connect " << i;
        const int64_t word = readWord(fd);
        ASSERT_NE(word, -2) << "client " << i << " got neither a reply nor a close";
        if (word == 0) {
            accepted.add(fd);
            continue;
        }
        ::close(fd);
        ASSERT_EQ(word, -1) << "client " << i << " got word " << word;
        // The host lets the client go with its spare descriptor, which it
        // then opens again: all of its descriptors are in use.
        fdsAtRefusal = waitForDescriptors(host.pid(), static_cast<int>(kLimit));
        break;
    }
    ASSERT_GE(fdsAtRefusal, 0) << "no client was refused";
    std::printf("descriptor limit %ld: %d open at start, %zu clients accepted, %d open at the refusal\n", kLimit,
                fdsBefore, accepted.size(), fdsAtRefusal);
    // Nothing was refused below the limit: the host holds one spare
    // descriptor to turn clients away with, every other one served a client.
    EXPECT_EQ(static_cast<long>(accepted.size()), kLimit - fdsBefore);
    EXPECT_EQ(fdsAtRefusal, kLimit);

    // More clients at the limit: each closed at once, on either plug-in.
    for (const char *plugin : {"ov_handler", "dvl_handler", "ov_handler"}) {
        const int fd = connectTo(host.address(plugin));
        ASSERT_GE(fd, 0);
        EXPECT_EQ(readWord(fd), -1) << plugin;
        ::close(fd);
    }
    EXPECT_NE(host.log().find("out of file descriptors: refused a client"), std::string::npos);
    EXPECT_TRUE(host.running());

    // Some clients go: the host serves new ones again. Enough go for two
    // clients and a watcher, which needs seven descriptors while it starts
    // (three pipes and a pidfd) and four once it runs.
    constexpr int kFreed = 10;
    accepted.closeLast(kFreed);
    EXPECT_EQ(waitForDescriptors(host.pid(), static_cast<int>(kLimit) - kFreed), kLimit - kFreed);
    {
        const Served served = expectServed(host, file, "at the limit\n");
        EXPECT_TRUE(host.running());
    }
    accepted.closeAll();
    EXPECT_EQ(waitForDescriptors(host.pid(), fdsBefore), fdsBefore) << "descriptors left after the clients went";
    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
    if (HasFailure())
        std::fprintf(stderr, "--- plughost log:\n%s\n", host.log().c_str());
}
