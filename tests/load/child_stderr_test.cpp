// What the real plug-ins' children write to their standard error reaches the
// host log escaped, named and rate-limited: a watcher's message about a path
// full of control bytes, and a stand-in unclutter that writes 10 MB.
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "clientlib/clientlib.h"
#include "load_support.h"
#include "support/proc.h"
#include "support/process.h"

namespace cl = clientlib;
using namespace loadtest;

namespace {

cl::Deadline soon() { return cl::Deadline::After(kWait); }

std::vector<std::string> linesWith(const std::string &log, const std::string &text)
{
    std::vector<std::string> found;
    std::istringstream lines(log);
    for (std::string l; std::getline(lines, l);)
        if (l.find(text) != std::string::npos)
            found.push_back(l);
    return found;
}

} // namespace

// The path a hostile client sent, with a line end and terminal escapes in it,
// comes back in the watcher's message. The line end splits that message in
// two lines of output, and each is logged as a line of the watcher's, named;
// the escapes are escaped, and no line of the log is the forged one. At debug
// level the "started pid" line holds the whole path, escaped, in one line.
TEST(ChildStderr, PathWithControlBytesIsLoggedEscapedAndNamed)
{
    const std::string forged = "2026-12-08 00:00:00.000 [error] FORGED LINE";
    const std::string path = "/nonexistent\n" + forged + " \x1b[31mred\x1b[0m/x";
    Host host;
    HostOptions o;
    o.args = {"--module-dir", MODULE_DIR, "--listen", "dvl_handler=127.0.0.1:0", "--log-level", "5"};
    ASSERT_TRUE(host.start(o)) << host.error();
    const int fd = connectTo(host.address("dvl_handler"));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(readWord(fd), 0);
    ASSERT_TRUE(sendAll(fd, path.c_str(), path.size() + 1)); // with its NUL
    int end = 0;
    const std::string answer = readToEnd(fd, &end);
    ::close(fd);
    ASSERT_GE(answer.size(), 4u);
    EXPECT_EQ(answer.substr(answer.size() - 4), be32(25)) << "the watcher's end is reported";

    // The watcher's exit, and so the answer, came after its stderr was logged.
    const std::string log = host.log();
    const std::string shown = "/nonexistent\\n" + forged + " \\x1b[31mred\\x1b[0m";
    const auto messages = linesWith(log, "[warn] dorvel.exe[");
    ASSERT_EQ(messages.size(), 2u) << log;
    const std::string name = messages[0].substr(messages[0].find("dorvel.exe["));
    EXPECT_EQ(name.substr(name.find("]: ")), "]: dorvel.exe: open failed on /nonexistent") << log;
    EXPECT_NE(messages[1].find("]: " + forged + " \\x1b[31mred\\x1b[0m: No such file or directory."),
              std::string::npos)
        << log;
    const auto started = linesWith(log, "started pid");
    ASSERT_EQ(started.size(), 1u) << log;
    EXPECT_NE(started[0].find("dorvel.exe " + shown + "/x"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << "a raw escape byte in the log";
    EXPECT_EQ(log.find("\n" + forged), std::string::npos) << "a forged line in the log";
    EXPECT_EQ(host.stop(), 0);
}

// 10 MB of stderr lines from a child: the first 100 of each 10 s are logged,
// the rest counted, and every line is accounted for; the host answers
// time-stamp exchanges all the while.
TEST(ChildStderr, FloodIsRateLimitedCountedAndTheHostStaysResponsive)
{
    constexpr long kLines = 200000; // of 50 bytes: 10 MB
    const std::string line(49, 'f');
    HostOptions o = imageHostOptions();
    o.args = {"--module-dir", MODULE_DIR, "--listen", "ov_handler=127.0.0.1:0"};
    o.unclutter = "yes " + line + " | head -c " + std::to_string(kLines * 50) +
                  " >&2\nexec cat >/dev/null 2>/dev/null\n";
    Host host;
    ASSERT_TRUE(host.start(o)) << host.error();
    cl::ImageSession session = cl::ImageSession::Connect(cl::ParseAddress(host.address("ov_handler")), kWait);
    session.RequestKey(soon());

    // Lines logged and lines counted, until they add up to all of them.
    long logged = 0, counted = 0, countLines = 0;
    int exchanges = 0;
    const auto tally = [&] {
        logged = counted = countLines = 0;
        for (const auto &l : linesWith(host.log(), "[warn] unclutter[")) {
            long n = 0;
            if (l.find("]: " + line) != std::string::npos) {
                ++logged;
            } else if (std::sscanf(l.c_str() + l.find("]: ") + 3, "%ld more lines not logged", &n) == 1) {
                counted += n;
                ++countLines;
            }
        }
        return logged + counted >= kLines;
    };
    const bool allAccounted = testsupport::waitFor(
        [&] {
            EXPECT_NO_THROW(session.ExchangeClock(soon()));
            ++exchanges;
            return tally();
        },
        2 * testsupport::kWaitMs);
    const long long cpu = testsupport::cpuTicks(host.pid()); // since its start
    std::printf("10 MB of stderr: %ld lines logged, %ld counted in %ld reports; %d time-stamp exchanges "
                "meanwhile; host CPU since its start %lld ms\n",
                logged, counted, countLines, exchanges, cpu * 1000 / ::sysconf(_SC_CLK_TCK));
    EXPECT_TRUE(allAccounted);
    EXPECT_EQ(logged + counted, kLines);
    // Each report closes a window that logged 100 lines; the last window may
    // have logged fewer and needed no report.
    EXPECT_GE(countLines, 1);
    EXPECT_GE(logged, 100 * countLines);
    EXPECT_LE(logged, 100 * (countLines + 1));
    EXPECT_EQ(session.Fill(0x445566, soon()), 0u);
    EXPECT_EQ(host.stop(), 0);
}
