// Shared helpers of the image plug-in's unit tests.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <string>

#include "fake_host.h"

namespace ovtest {

using namespace fakehost;

inline std::string showRequest(int32_t width, int32_t height, int32_t word0, int32_t word1, const std::string &pixels)
{
    return be32(0) + be32(static_cast<uint32_t>(width)) + be32(static_cast<uint32_t>(height)) +
           be32(static_cast<uint32_t>(word0)) + be32(static_cast<uint32_t>(word1)) + pixels;
}

inline std::string fillRequest(int32_t a) { return be32(1) + be32(static_cast<uint32_t>(a)); }

inline std::string queryRequest(int32_t a, int32_t b)
{
    return be32(3) + be32(static_cast<uint32_t>(a)) + be32(static_cast<uint32_t>(b));
}

inline std::string frame(int32_t word0, int32_t word1, int32_t width, int32_t height, const std::string &pixels = "")
{
    return host32(word0) + host32(word1) + host32(width) + host32(height) + pixels;
}

inline std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

inline int openDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

inline int errorLines()
{
    return static_cast<int>(
        std::count_if(logs().begin(), logs().end(), [](const LogLine &l) { return l.level <= LOG_ERROR; }));
}

inline int killsOf(int pid, int sig = SIGTERM)
{
    return static_cast<int>(std::count(kills().begin(), kills().end(), std::make_pair(pid, sig)));
}

inline int readsOn(int fd)
{
    int n = 0;
    for (const SysCall &c : reads())
        n += c.fd == fd;
    return n;
}

inline int writesOn(int fd)
{
    int n = 0;
    for (const SysCall &c : writes())
        n += c.fd == fd;
    return n;
}

// Fixture with the plug-in initialised: the viewer is the first spawn, unclutter
// the second.
class OvTest : public PluginTest {
protected:
    void init()
    {
        setMonotonicMs(clockMs);
        plugin->Initialize(handle);
        ASSERT_EQ(spawns().size(), 2u);
        viewerPid = spawns()[0].result;
        unclutterPid = spawns()[1].result;
    }

    // The viewer's record, after its start byte when `ready`.
    Child &viewer(bool ready = true, int pipeSize = 0, int pid = 0)
    {
        Child &v = newChild(pid ? pid : viewerPid, pipeSize);
        if (ready) {
            v.writeOut("S");
            plugin->ExecutableHandler(&v.record, EXECUTABLE_READABLE);
        }
        return v;
    }

    void readable(Child &c) { plugin->ExecutableHandler(&c.record, EXECUTABLE_READABLE); }
    void writeReady(Child &c) { plugin->ExecutableHandler(&c.record, EXECUTABLE_WRITE_READY); }
    // What the viewer reads until n bytes came, with a write-ready event
    // after each read (its pipe may be smaller than a frame).
    std::string drain(Child &v, std::size_t n)
    {
        std::string got;
        for (int i = 0; i < 1000 && got.size() < n; i++) {
            got += v.readIn();
            writeReady(v);
        }
        return got;
    }
    // The child exits after a life of lifeMs on the plug-in's clock: by
    // default long enough for a viewer to be restarted at once.
    void exited(Child &c, int status, long long lifeMs = 3000)
    {
        clockMs += lifeMs;
        setMonotonicMs(clockMs);
        c.record.Status = status;
        plugin->ExecutableHandler(&c.record, EXECUTABLE_EXITED);
    }

    // The viewer answers the job it has read.
    void result(Child &v, int32_t value)
    {
        v.writeOut(host32(value));
        readable(v);
    }

    // A connected client that has the key (the first one is the key holder).
    ClientRecord *admitted()
    {
        ClientRecord *c = newClient();
        connect(c);
        EXPECT_EQ(takeOut(c), be32(0));
        data(c, be32(key));
        std::string answer = takeOut(c);
        if (key == 0) {
            EXPECT_EQ(answer.size(), 8u);
            key = be32At(answer, 4);
        } else {
            EXPECT_EQ(answer, be32(0));
        }
        return c;
    }

    // The code a client receives when it connects now, and whether it is closed.
    uint32_t refusal()
    {
        ClientRecord *c = newClient();
        connect(c);
        EXPECT_EQ(closeCount(c), 1);
        return out(c).size() == 4 ? be32At(out(c)) : 0xFFFFFFFFu;
    }

    void dispose()
    {
        plugin->Dispose();
        EXPECT_EQ(liveAllocations(), 0u);
    }

    long long clockMs = 1000000; // the plug-in's monotonic clock
    int viewerPid = 0;
    int unclutterPid = 0;
    uint32_t key = 0;
};

} // namespace ovtest
