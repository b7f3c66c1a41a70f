// The memory a stalled follower costs plughost: a file of 1 MiB changes 300
// times while one follower reads every version and another reads nothing;
// the peak RSS of a fresh plughost above its start is measured beside the
// same changes with the reading follower alone (the baseline). At the end the stalled follower reads
// again and must get whole versions in order up to the newest.
//
//   dvl_bench_stalled [--changes N] [--size BYTES] [--plughost PATH]
//                     [--module-dir DIR] [--plugin-option KEY=VALUE]...
// Prints a table and RESULT lines (bench/common/report.h).
#include "../common/report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clientlib/clientlib.h"
#include "dvl_process.h"
#include "support/sockets.h"

namespace cl = clientlib;
using namespace dvltest;

namespace {

struct Options {
    int changes = 300;
    std::size_t size = 1 << 20;
    std::string plughost = PLUGHOST_EXE;
    std::string moduleDir = MODULE_DIR;
    std::vector<std::string> extra;
};

[[noreturn]] void die(const std::string &why)
{
    std::fprintf(stderr, "dvl_bench_stalled: %s\n", why.c_str());
    std::exit(1);
}

cl::Deadline soon() { return cl::Deadline::After(std::chrono::seconds(60)); }

std::string version(int i, std::size_t size)
{
    std::string s = "version " + std::to_string(i) + "\n";
    s.resize(size, static_cast<char>('a' + i % 26));
    return s;
}

int number(const std::string &content)
{
    int i = -1;
    return std::sscanf(content.c_str(), "version %d", &i) == 1 ? i : -1;
}

// Changes the file `changes` times, each time waiting until `reader` has the
// new version.
void changeAll(const Options &o, const std::string &file, cl::FollowSession &reader)
{
    for (int i = 1; i <= o.changes; ++i) {
        if (!replaceFile(file, version(i, o.size)))
            die("cannot write " + file);
        int got = -1;
        while (got < i) {
            const cl::FollowEvent ev = reader.Next(soon());
            if (ev.kind != cl::FollowEvent::Kind::Version)
                die("the reading follower got code " + std::to_string(ev.code));
            got = number(ev.content);
        }
    }
}

// A fresh plughost, its resident memory before any client, and the growth
// of its peak since.
struct Fresh {
    TempDir dir;
    Server server;
    long base = 0;
    Fresh(const Options &o) : server(o.plughost, o.moduleDir, dir.file("plughost.log"), o.extra)
    {
        if (server.port() <= 0)
            die("plughost did not start: " + server.error());
        base = testsupport::statusKb(server.pid(), "VmRSS");
    }
    double growthMiB() const { return (testsupport::statusKb(server.pid(), "VmHWM") - base) / 1024.0; }
};

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], v = argv[i + 1];
        if (opt == "--changes") o.changes = std::clamp(std::atoi(v.c_str()), 10, 10000);
        else if (opt == "--size") o.size = static_cast<std::size_t>(std::clamp(std::atol(v.c_str()), 64L, 64L << 20));
        else if (opt == "--plughost") o.plughost = v;
        else if (opt == "--module-dir") o.moduleDir = v;
        else if (opt == "--plugin-option") o.extra.insert(o.extra.end(), {"--plugin-option", v});
        else die("unknown option " + opt);
    }
    TempDir files;
    double alone = 0, stalled = 0;
    long base = 0;
    int reached = 0, last = -1;
    std::string ending; // how the stalled follower's stream ended, when it did
    try {
        { // The baseline: one follower that reads every version.
            Fresh host(o);
            const std::string file = files.file("alone.txt");
            if (!writeFile(file, version(0, o.size)))
                die("cannot write a file");
            cl::FollowSession reader = cl::FollowSession::Connect(cl::ParseAddress(host.server.address()),
                                                                  std::chrono::seconds(20));
            reader.Start(file, soon());
            reader.Next(soon());
            changeAll(o, file, reader);
            alone = host.growthMiB();
        }
        // The same with a follower beside it that reads nothing after its first version.
        Fresh host(o);
        base = host.base;
        const std::string file = files.file("stalled.txt");
        if (!writeFile(file, version(0, o.size)))
            die("cannot write a file");
        const int fd = testsupport::connectTo(host.server.address(), 4096);
        if (fd < 0)
            die("cannot connect");
        cl::FollowSession silent = cl::FollowSession::Attach(cl::Socket(fd), soon());
        silent.Start(file, soon());
        silent.Next(soon());
        cl::FollowSession reader =
            cl::FollowSession::Connect(cl::ParseAddress(host.server.address()), std::chrono::seconds(20));
        reader.Start(file, soon());
        reader.Next(soon());
        changeAll(o, file, reader);
        stalled = host.growthMiB();
        // The stalled follower reads again: whole versions in order, the newest last.
        try {
            while (last < o.changes) {
                const cl::FollowEvent ev = silent.Next(soon());
                if (ev.kind != cl::FollowEvent::Kind::Version) {
                    ending = "code " + std::to_string(ev.code);
                    break;
                }
                const int n = number(ev.content);
                if (n < last || ev.content.size() != o.size)
                    die("the stalled follower got a version out of order or cut");
                last = n;
                ++reached;
            }
        } catch (const cl::ClientError &e) {
            ending = e.what();
        }
    } catch (const cl::ClientError &e) {
        die(e.what());
    }
    std::printf("a %zu-byte file changed %d times\n", o.size, o.changes);
    std::printf("  %-44s %10s %10s  %s\n", "measure", "stalled", "alone", "goal");
    std::printf("  %-44s %7.1f MiB %7.1f MiB  %s\n", "plughost peak RSS above its start", stalled, alone,
                "stalled <= 24 MiB");
    std::printf("  (plughost's RSS at start: %.1f MiB)\n", base / 1024.0);
    if (ending.empty())
        std::printf("  the stalled follower then got %d versions, the newest (%d) last\n", reached, last);
    else
        std::printf("  the stalled follower got %d versions (the last %d), then: %s\n", reached, last, ending.c_str());
    bench::result("dvl_stalled_follower_peak_rss", stalled, alone, "MiB", "ours<=24");
    return ending.empty() ? 0 : 1;
}
