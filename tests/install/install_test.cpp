// The installed tree (cmake --install into INSTALL_PREFIX, done by the ctest
// fixture): its layout, the installed plughost run with no options and used
// through the installed tools, readiness for systemd, the man pages against
// each program's --help, the systemd units, and the Debian package.
#include <gtest/gtest.h>

#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/plughost.h"
#include "support/process.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kPrefix = INSTALL_PREFIX;

std::string installed(const std::string &relative) { return kPrefix + "/" + relative; }

enum class Kind { Program, File, LinkToDorvel };

struct Entry {
    std::string path; // relative to the prefix
    Kind kind;
};

// Everything the install puts outside share/doc/plughost, and the docs
// a user looks for first. One copy of each program: bin/dorvel is a link.
const std::vector<Entry> kTree = {
    {"bin/plughost", Kind::Program},
    {"bin/ovclient", Kind::Program},
    {"bin/dvlfollow", Kind::Program},
    {"bin/dorvel", Kind::LinkToDorvel},
    {"lib/plughost/modules/ov_handler.so", Kind::File},
    {"lib/plughost/modules/dvl_handler.so", Kind::File},
    {"lib/plughost/modules/dorvel.exe", Kind::Program},
    {"lib/plughost/modules/orvane.exe", Kind::Program},
    {"share/man/man1/plughost.1", Kind::File},
    {"share/man/man1/ovclient.1", Kind::File},
    {"share/man/man1/dvlfollow.1", Kind::File},
    {"share/man/man1/dorvel.1", Kind::File},
    {"share/man/man1/orvane.exe.1", Kind::File},
    {"share/plughost/plughost.toml", Kind::File},
    {"lib/systemd/system/plughost-files.service", Kind::File},
    {"lib/systemd/user/plughost-display.service", Kind::File},
    {"share/doc/plughost/README.md", Kind::File},
    {"share/doc/plughost/install.md", Kind::File},
    {"share/doc/plughost/host.md", Kind::File},
};
const std::string kDorvelLink = "../lib/plughost/modules/dorvel.exe";
const std::string kDocDir = "share/doc/plughost/";

TEST(Installed, TreeHoldsEachPieceOnceInItsPlace)
{
    std::set<std::string> expected;
    for (const Entry &e : kTree) {
        SCOPED_TRACE(e.path);
        expected.insert(e.path);
        const std::string path = installed(e.path);
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << std::strerror(errno);
        switch (e.kind) {
        case Kind::Program:
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(::access(path.c_str(), X_OK), 0);
            break;
        case Kind::File:
            EXPECT_TRUE(S_ISREG(st.st_mode));
            break;
        case Kind::LinkToDorvel:
            ASSERT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_EQ(fs::read_symlink(path).string(), kDorvelLink);
            break;
        }
    }
    // Nothing else, apart from more documentation.
    for (const auto &item : fs::recursive_directory_iterator(kPrefix)) {
        const std::string relative = fs::relative(item.path(), kPrefix).string();
        if (item.is_directory() || relative.rfind(kDocDir, 0) == 0)
            continue;
        EXPECT_TRUE(expected.count(relative)) << "installed but not expected: " << relative;
    }
}

// Makes this test process (and so every child) live in a network namespace of
// its own with the loopback interface up, so that plughost can take its
// default ports whatever else runs on the machine. False (why in *error)
// where namespaces are not allowed.
bool enterPrivateLoopback(std::string *error)
{
    if (::unshare(CLONE_NEWNET) != 0) {
        // Not privileged: a user namespace first, mapping our own ids.
        const std::string uidMap = std::to_string(::getuid()) + " " + std::to_string(::getuid()) + " 1";
        const std::string gidMap = std::to_string(::getgid()) + " " + std::to_string(::getgid()) + " 1";
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 || !writeFile("/proc/self/setgroups", "deny") ||
            !writeFile("/proc/self/uid_map", uidMap) || !writeFile("/proc/self/gid_map", gidMap)) {
            *error = std::string("unshare: ") + std::strerror(errno);
            return false;
        }
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    const bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &lo) == 0 && ((lo.ifr_flags |= IFF_UP), true) &&
                    ::ioctl(s, SIOCSIFFLAGS, &lo) == 0;
    if (!up)
        *error = std::string("cannot bring up lo: ") + std::strerror(errno);
    if (s >= 0)
        ::close(s);
    return up;
}

// The installed plughost, with no options or with the example configuration
// (both serve the default ports), used as a user would: dvlfollow follows a
// file through two versions, ovclient shows a plain-PPM picture and asks the
// viewer how many frames it has presented.
class InstalledServer : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(InstalledServer, ServesTheInstalledToolsOnTheDefaultPorts)
{
    std::string error;
    if (!enterPrivateLoopback(&error))
        GTEST_SKIP() << "no network namespace of our own (" << error
                     << "): plughost would compete for ports 7411 and 7412 with everything else here";
    TempDir tmp("install-run");
    Env env;
    env.set = {{"ORVANE_BACKEND", "headless"},
               {"ORVANE_CANVAS", "64x48"},
               {"ORVANE_SNAPSHOT_DIR", tmp.file("frames")},
               {"XDG_STATE_HOME", tmp.file("state")}};
    env.unset = {"DISPLAY", "WAYLAND_DISPLAY", "NOTIFY_SOCKET"};
    const std::string log = tmp.file("plughost.log");

    Plughost server;
    SpawnOptions options;
    options.argv = {installed("bin/plughost")};
    options.argv.insert(options.argv.end(), GetParam().begin(), GetParam().end());
    options.env = env;
    options.stderrFile = log;
    ASSERT_TRUE(server.start(options, &error)) << error << server.startup().text << readFile(log);
    EXPECT_EQ(server.address("ov_handler"), "127.0.0.1:7411");
    EXPECT_EQ(server.address("dvl_handler"), "127.0.0.1:7412");

    const std::string followed = tmp.file("followed.txt");
    ASSERT_TRUE(writeFile(followed, "first\n"));
    Process follow = start({installed("bin/dvlfollow"), "--count", "2", followed}, env, true, log, &error);
    ASSERT_GT(follow.pid, 0) << error;
    std::string versions;
    ASSERT_TRUE(readUntil(follow.out, "first\n", &versions, kWaitMs)) << versions << readFile(log);
    ASSERT_TRUE(replaceFile(followed, "second\n"));
    EXPECT_TRUE(readToEnd(follow.out, &versions, kWaitMs));
    EXPECT_EQ(exitCode(waitExit(follow, kWaitMs)), 0) << readFile(log);
    EXPECT_EQ(versions, "first\nsecond\n");

    const std::string picture = tmp.file("picture.ppm");
    ASSERT_TRUE(writeFile(picture, "P3\n2 1\n255\n255 0 0  0 0 255\n"));
    const RunResult shown = run({installed("bin/ovclient"), "show", picture}, env, kWaitMs);
    EXPECT_EQ(shown.code, 0) << shown.out << shown.err << readFile(log);
    const RunResult frames = run({installed("bin/ovclient"), "query", "frames"}, env, kWaitMs);
    EXPECT_EQ(frames.code, 0) << frames.err;
    EXPECT_EQ(frames.out, "1\n");
    EXPECT_TRUE(fs::exists(tmp.file("frames/frame-000001.png")));

    EXPECT_EQ(exitCode(server.stop(SIGTERM)), 0) << readFile(log);
}

INSTANTIATE_TEST_SUITE_P(Installed, InstalledServer,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--config",
                                                                    installed("share/plughost/plughost.toml")}),
                         [](const auto &info) { return info.param.empty() ? "NoOptions" : "ExampleConfig"; });

// Built with libsystemd, plughost sends READY=1 to NOTIFY_SOCKET once ready.
TEST(Installed, TellsSystemdWhenReady)
{
#ifndef SYSTEMD_NOTIFY
    GTEST_SKIP() << "built without libsystemd: plughost does not notify";
#endif
    TempDir tmp("install-notify");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = tmp.file("notify");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << std::strerror(errno);

    Plughost server;
    SpawnOptions options;
    options.argv = {installed("bin/plughost"), "--listen", "dvl_handler=127.0.0.1:0"};
    options.env.set = {{"NOTIFY_SOCKET", path}};
    std::string error;
    ASSERT_TRUE(server.start(options, &error)) << error << server.startup().text;
    ASSERT_TRUE(waitFd(sock, POLLIN, std::chrono::steady_clock::now() + kWait));
    char message[64] = {};
    const ssize_t got = ::recv(sock, message, sizeof message - 1, 0);
    EXPECT_EQ(std::string(message, got > 0 ? static_cast<size_t>(got) : 0), "READY=1");
    EXPECT_EQ(exitCode(server.stop(SIGTERM)), 0);
    ::close(sock);
}

// Each page, formatted with every groff warning on, says nothing; every
// option a program's --help lists appears in the program's page.
std::string manPage(const std::string &name) { return installed("share/man/man1/" + name + ".1"); }

TEST(ManPages, FormatWithoutWarnings)
{
    const std::string groff = findInPath("groff");
    if (groff.empty())
        GTEST_SKIP() << "groff not found: the pages are not checked";
    for (const char *page : {"plughost", "ovclient", "dvlfollow", "dorvel", "orvane.exe"}) {
        const RunResult r = run({groff, "-man", "-ww", "-z", manPage(page)}, {}, kWaitMs);
        EXPECT_EQ(r.code, 0) << page << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "") << page;
    }
}

// The page's text with the escapes that stand inside option names undone.
std::string pageText(const std::string &page)
{
    std::string text = std::regex_replace(readFile(manPage(page)), std::regex(R"(\\f[BIRP])"), "");
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

std::vector<std::string> optionsIn(const std::string &help)
{
    static const std::regex option(R"((?:^|[\s,\[|])(--?[A-Za-z][A-Za-z0-9-]*))");
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1]);
    return found;
}

struct HelpCase {
    std::string page;
    std::vector<std::string> command; // program relative to the prefix, then arguments
};

void PrintTo(const HelpCase &c, std::ostream *out)
{
    for (const std::string &word : c.command)
        *out << word << " ";
}

class ManPageOptions : public ::testing::TestWithParam<HelpCase> {};

TEST_P(ManPageOptions, ListEveryOptionOfTheHelp)
{
    std::vector<std::string> argv = GetParam().command;
    argv[0] = installed(argv[0]);
    const RunResult help = run(argv, {}, kWaitMs);
    ASSERT_EQ(help.code, 0) << help.err;
    const std::vector<std::string> options = optionsIn(help.out + help.err);
    ASSERT_FALSE(options.empty()) << help.out << help.err;
    const std::string text = pageText(GetParam().page);
    for (const std::string &o : options)
        EXPECT_TRUE(std::regex_search(text, std::regex("(^|[^A-Za-z0-9-])" + o + "($|[^A-Za-z0-9-])")))
            << o << " is not in " << GetParam().page << "(1)";
}

INSTANTIATE_TEST_SUITE_P(Installed, ManPageOptions,
                         ::testing::Values(HelpCase{"plughost", {"bin/plughost", "--help"}},
                                           HelpCase{"ovclient", {"bin/ovclient", "--help"}},
                                           HelpCase{"ovclient", {"bin/ovclient", "clock", "--help"}},
                                           HelpCase{"ovclient", {"bin/ovclient", "show", "--help"}},
                                           HelpCase{"ovclient", {"bin/ovclient", "fill", "--help"}},
                                           HelpCase{"ovclient", {"bin/ovclient", "query", "--help"}},
                                           HelpCase{"dvlfollow", {"bin/dvlfollow", "--help"}},
                                           HelpCase{"dorvel", {"bin/dorvel", "--help"}},
                                           HelpCase{"orvane.exe", {"lib/plughost/modules/orvane.exe", "-h"}}),
                         [](const auto &info) {
                             return std::to_string(info.index) + "_" + info.param.page.substr(0, 6);
                         });

TEST(Installed, ProgramsTellTheirVersion)
{
    for (const std::string program :
         {"bin/plughost", "bin/ovclient", "bin/dvlfollow", "lib/plughost/modules/orvane.exe"}) {
        const RunResult r = run({installed(program), "--version"}, {}, kWaitMs);
        EXPECT_EQ(r.code, 0) << program << ": " << r.err;
        EXPECT_EQ(r.out, program.substr(program.rfind('/') + 1) + " " + PLUGHOST_VERSION + "\n");
    }
}

// systemd-analyze verify: no complaint (unknown keys are only warned about),
// and ExecStart names the installed plughost, which verify checks exists.
struct Unit {
    std::string path;
    bool user;
};

void PrintTo(const Unit &u, std::ostream *out) { *out << u.path; }

class Units : public ::testing::TestWithParam<Unit> {};

TEST_P(Units, SystemdAcceptsThem)
{
    const std::string path = installed(GetParam().path);
    const std::string unit = readFile(path);
    EXPECT_NE(unit.find("\nExecStart=" + installed("bin/plughost") + " --listen "), std::string::npos) << unit;
#ifdef SYSTEMD_NOTIFY
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
#else
    EXPECT_NE(unit.find("\nType=exec\n"), std::string::npos) << unit;
#endif
    const std::string analyze = findInPath("systemd-analyze");
    if (analyze.empty())
        GTEST_SKIP() << "systemd-analyze not found: the units are not verified";
    TempDir runtime("install-runtime"); // the user manager wants XDG_RUNTIME_DIR
    std::vector<std::string> argv = {analyze, "verify", "--man=no", path};
    if (GetParam().user)
        argv.insert(argv.begin() + 1, "--user");
    const RunResult r = run(argv, Env{{{"XDG_RUNTIME_DIR", runtime.path()}}, {}}, kWaitMs);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Installed, Units,
                         ::testing::Values(Unit{"lib/systemd/system/plughost-files.service", false},
                                           Unit{"lib/systemd/user/plughost-display.service", true}),
                         [](const auto &info) { return info.param.user ? "User" : "System"; });

// cpack builds the Debian package from this build (nothing rebuilt); it holds
// the same tree under /usr, declares the library dependencies, and its units
// name /usr/bin/plughost.
TEST(Package, HoldsTheTreeUnderUsr)
{
#ifndef BUILD_PACKAGE
    GTEST_SKIP() << "the package is built and checked in the build without sanitizers";
#endif
    const std::string dpkgDeb = findInPath("dpkg-deb");
    if (dpkgDeb.empty())
        GTEST_SKIP() << "dpkg-deb not found";
    TempDir tmp("install-package");
    const RunResult packed =
        run({CPACK_EXE, "-G", "DEB", "--config", BUILD_DIR "/CPackConfig.cmake", "-B", tmp.path()}, {}, 240000);
    ASSERT_EQ(packed.code, 0) << packed.out << packed.err;
    std::vector<std::string> debs;
    for (const auto &item : fs::directory_iterator(tmp.path()))
        if (item.path().extension() == ".deb")
            debs.push_back(item.path().string());
    ASSERT_EQ(debs.size(), 1u) << packed.out;

    const RunResult listing = run({dpkgDeb, "-c", debs[0]}, {}, kWaitMs);
    ASSERT_EQ(listing.code, 0) << listing.err;
    for (const Entry &e : kTree) {
        const std::string shown = " ./usr/" + e.path + (e.kind == Kind::LinkToDorvel ? " -> " + kDorvelLink : "");
        EXPECT_NE(listing.out.find(shown + "\n"), std::string::npos) << shown << " missing in\n" << listing.out;
    }
    const RunResult depends = run({dpkgDeb, "-f", debs[0], "Depends"}, {}, kWaitMs);
    for (const char *library : {"libsdl2-2.0-0", "libspdlog"})
        EXPECT_NE(depends.out.find(library), std::string::npos) << depends.out;

    ASSERT_EQ(run({dpkgDeb, "-x", debs[0], tmp.file("root")}, {}, kWaitMs).code, 0);
    EXPECT_NE(
        readFile(tmp.file("root/usr/lib/systemd/system/plughost-files.service")).find("\nExecStart=/usr/bin/plughost "),
        std::string::npos);
}

} // namespace
