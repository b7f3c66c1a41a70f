// The dvlfollow and ovclient binaries run from outside against scripted servers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "clientlib/clientlib.h"
#include "fake_server.h"
#include "support/images.h"
#include "support/process.h"

namespace cl = clientlib;
namespace fs = std::filesystem;
using clients_test::Be32;
using clients_test::Cat;
using clients_test::Conn;
using clients_test::FakeServer;
using clients_test::TempDir;

namespace {

using Result = testsupport::RunResult;
using testsupport::readFile;

// Runs a program to its end (bounded); the environment is this process's
// with the NAME=VALUE entries of `env` set.
Result RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  const std::string& stdin_file = "") {
    testsupport::SpawnOptions o;
    o.argv = args;
    for (const auto& e : env) o.env.set[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
    o.stdinFile = stdin_file;
    Result r = testsupport::run(o, testsupport::kWaitMs);
    if (r.code < 0) ADD_FAILURE() << args[0] << " did not start or did not end in time: " << r.err;
    return r;
}

void ExpectNoFailures(FakeServer& s) {
    for (const auto& f : s.Join()) ADD_FAILURE() << "server: " << f;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// ---- dvlfollow --------------------------------------------------------------

// Serves the start of a follow conversation and the given stream after it.
FakeServer::Script Follow(const std::string& want_path, std::vector<uint8_t> stream, bool wait_for_client) {
    return [=](Conn& c) {
        c.SendWord(0);
        auto path = c.RecvUntilNul();
        if (path != want_path) c.Fail("path received: " + path.value_or("<none>"));
        c.SendWord(0);
        c.Send(stream);
        if (wait_for_client && !c.WaitEof()) c.Fail("the client did not leave");
    };
}

TEST(DvlfollowTool, PrintsVersionsAndStopsAfterCount) {
    TempDir tmp;
    FakeServer server({Follow(
        "/tmp/x", Cat({Be32(4), Bytes("one\n"), Be32(4), Bytes("two\n"), Be32(6), Bytes("three\n")}), true)});
    Result r = RunProgram({DVLFOLLOW_BIN, "--connect", server.address(), "--count", "2", "/tmp/x"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "one\ntwo\n");
    ExpectNoFailures(server);
    EXPECT_EQ(server.accepted(), 1);
}

TEST(DvlfollowTool, SeparatorAndEmptyVersions) {
    TempDir tmp;
    FakeServer server({Follow("/f", Cat({Be32(1), Bytes("a"), Be32(0), Be32(2), Bytes("bc")}), true)});
    Result r = RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "-n", "3", "--separator", "\\0", "/f"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("a\0\0bc\0", 6));
    ExpectNoFailures(server);
}

TEST(DvlfollowTool, ExitStatusIsTheClosingCode) {
    TempDir tmp;
    for (uint32_t code : {18u, 23u, 25u}) {
        FakeServer server({Follow("/w", Cat({Be32(3), Bytes("abc"), Be32(code)}), false)});
        Result r = RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "/w"});
        EXPECT_EQ(r.code, static_cast<int>(code));
        EXPECT_EQ(r.out, "abc");
        EXPECT_NE(r.err.find(cl::DescribeReply(code, cl::Service::File)), std::string::npos) << r.err;
        ExpectNoFailures(server);
    }
}

TEST(DvlfollowTool, ConnectionFailures) {
    TempDir tmp;
    {
        clients_test::RefusingPort port;
        Result r = RunProgram({DVLFOLLOW_BIN, "--connect", port.address(), "/x"});
        EXPECT_EQ(r.code, cl::exit_status::kRefused);
        EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
    }
    Result bad = RunProgram({DVLFOLLOW_BIN, "--connect", "nowhere", "/x"});
    EXPECT_EQ(bad.code, cl::exit_status::kBadAddress);
    EXPECT_EQ(RunProgram({DVLFOLLOW_BIN}).code, cl::exit_status::kUsage);
    EXPECT_EQ(RunProgram({DVLFOLLOW_BIN, "--count", "x", "/p"}).code, cl::exit_status::kUsage);
    Result help = RunProgram({DVLFOLLOW_BIN, "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("the watcher on the server ended"), std::string::npos);
    {
        FakeServer server({[](Conn& c) { c.SendWord(18); }});
        EXPECT_EQ(RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "/x"}).code, 18);
        ExpectNoFailures(server);
    }
    {
        FakeServer server({Follow("/x", Be32(2), false)});  // closed inside a record
        EXPECT_EQ(RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "/x"}).code, cl::exit_status::kClosed);
        ExpectNoFailures(server);
    }
    {
        FakeServer server({Follow("/x", {0, 0, 0}, false)});  // torn length word
        EXPECT_EQ(RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "/x"}).code, cl::exit_status::kBadReply);
        ExpectNoFailures(server);
    }
}

TEST(DvlfollowTool, OutputFileIsReplacedWhole) {
    TempDir tmp;
    std::string file = tmp.path() + "/copy.txt";
    std::string big(100000, 'z');
    FakeServer server({Follow(
        "/o", Cat({Be32(5), Bytes("first"), Be32(static_cast<uint32_t>(big.size())), Bytes(big)}), true)});
    Result r = RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "--output", file, "-n", "2", "/o"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");  // a local copy replaces printing
    EXPECT_EQ(readFile(file), big);
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_EQ(e.path().filename().string().find(".copy.txt.dvlfollow"), std::string::npos)
            << "temporary file left: " << e.path();
    ExpectNoFailures(server);
    // A folder that does not exist: a local failure.
    FakeServer server2({Follow("/o", Cat({Be32(1), Bytes("x")}), false)});
    Result r2 =
        RunProgram({DVLFOLLOW_BIN, "-c", server2.address(), "--output", tmp.path() + "/no/such/f", "/o"});
    EXPECT_EQ(r2.code, cl::exit_status::kLocal);
    ExpectNoFailures(server2);
}

TEST(DvlfollowTool, ExecGetsEachVersionOnItsInput) {
    TempDir tmp;
    std::string log = tmp.path() + "/log";
    FakeServer server({Follow("/e", Cat({Be32(3), Bytes("abc"), Be32(2), Bytes("de")}), true)});
    Result r =
        RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "-n", "2", "--exec",
                    "printf '%s:' \"$DVLFOLLOW_VERSION\" >> " + log + "; cat >> " + log + "; exit 3", "/e"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readFile(log), "1:abc2:de");
    EXPECT_NE(r.err.find("status 3"), std::string::npos) << r.err;  // reported, not fatal
    ExpectNoFailures(server);
}

// What can heal is retried with --reconnect; a version equal to the last one
// handed on is not handed on again after a reconnection.
TEST(DvlfollowTool, ReconnectRetriesWhatCanHeal) {
    const auto version = [](const std::string& text) {
        return Cat({Be32(static_cast<uint32_t>(text.size())), Bytes(text)});
    };
    struct Case {
        const char* what;
        std::vector<FakeServer::Script> scripts;
        int code;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"closed without a code, then the same version again",
         {Follow("/r", version("a"), false), Follow("/r", Cat({version("a"), version("b")}), true)},
         0,
         "ab"},
        {"codes 25 and 23 after a version, 18 at connect",
         {Follow("/r", Cat({version("a"), Be32(25)}), false),
          Follow("/r", Cat({version("a"), Be32(23)}), false), [](Conn& c) { c.SendWord(18); },
          Follow("/r", version("b"), true)},
         0,
         "ab"},
        {"25 before any version: the path cannot be followed", {Follow("/r", Be32(25), false)}, 25, ""},
        {"a torn length word is not retried",
         {Follow("/r", Cat({version("a"), {0, 0}}), false)},
         cl::exit_status::kBadReply,
         "a"},
    };
    TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int connections = static_cast<int>(c.scripts.size());
        FakeServer server(c.scripts);
        Result r = RunProgram({DVLFOLLOW_BIN, "-c", server.address(), "--reconnect", "-n", "2", "/r"});
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.out, c.out);
        ExpectNoFailures(server);
        EXPECT_EQ(server.accepted(), connections);
        const size_t notes = static_cast<size_t>(connections - 1);
        size_t found = 0;
        for (size_t at = r.err.find("reconnecting in"); at != std::string::npos;
             at = r.err.find("reconnecting in", at + 1))
            ++found;
        EXPECT_EQ(found, notes) << r.err;
    }
}

// ---- ovclient ---------------------------------------------------------------

// The connect reply, then the key handshake: `want_key` 0 issues `issue`.
void Handshake(Conn& c, uint32_t want_key, uint32_t answer, uint32_t issue = 0) {
    c.SendWord(0);
    auto key = c.RecvWord();
    if (key != want_key) c.Fail("key received: " + std::to_string(key.value_or(0xFFFFFFFF)));
    c.SendWord(answer);
    if (answer == 0 && want_key == 0) c.SendWord(issue);
}

FakeServer::Script ServeFill(uint32_t want_key, uint32_t issue, uint32_t colour, uint32_t result) {
    return [=](Conn& c) {
        Handshake(c, want_key, 0, issue);
        auto req = c.Recv(8);
        if (req != Cat({Be32(1), Be32(colour)})) c.Fail("fill request differs");
        c.SendWord(result);
    };
}

std::vector<std::string> StateEnv(const TempDir& tmp) {
    return {"XDG_STATE_HOME=" + tmp.path() + "/state", "HOME=" + tmp.path() + "/home"};
}

std::string KeyFileOf(const TempDir& tmp, const FakeServer& s) {
    return cl::DefaultKeyFilePath(cl::ParseAddress(s.address()), (tmp.path() + "/state").c_str(), nullptr);
}

TEST(OvclientTool, FirstRunIsIssuedTheKeyLaterRunsPresentIt) {
    TempDir tmp;
    FakeServer server({ServeFill(0, 424242, 0x112233, 0), ServeFill(424242, 0, 0xABCDEF, 0)});
    Result first = RunProgram({OVCLIENT_BIN, "-c", server.address(), "fill", "#112233"}, StateEnv(tmp));
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_NE(first.err.find("key: 424242"), std::string::npos) << first.err;
    EXPECT_NE(first.out.find("result 0"), std::string::npos) << first.out;
    std::string file = KeyFileOf(tmp, server);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(file), "424242\n");

    Result second =
        RunProgram({OVCLIENT_BIN, "fill", "0xABCDEF", "--connect", server.address()}, StateEnv(tmp));
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.err.find("key:"), std::string::npos);
    ExpectNoFailures(server);
}

TEST(OvclientTool, StoredKeyRefusedWith27AsksForANewOne) {
    TempDir tmp;
    FakeServer server({
        [](Conn& c) { Handshake(c, 99, 27); },
        ServeFill(0, 555, 0, 0),
    });
    cl::WriteKeyFile(KeyFileOf(tmp, server), 99);
    Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "fill", "#000000"}, StateEnv(tmp));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("key: 555"), std::string::npos) << r.err;
    EXPECT_EQ(cl::ReadKeyFile(KeyFileOf(tmp, server)), 555u);
    EXPECT_EQ(server.accepted(), 2);
    ExpectNoFailures(server);
}

TEST(OvclientTool, KeyRefusals) {
    TempDir tmp;
    {
        // Someone else holds the key: the stored one does not match.
        FakeServer server({[](Conn& c) { Handshake(c, 99, 26); }});
        cl::WriteKeyFile(KeyFileOf(tmp, server), 99);
        Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "fill", "#000000"}, StateEnv(tmp));
        EXPECT_EQ(r.code, 26);
        EXPECT_NE(r.err.find("someone else holds"), std::string::npos) << r.err;
        EXPECT_EQ(cl::ReadKeyFile(KeyFileOf(tmp, server)), 99u);  // left alone
        ExpectNoFailures(server);
    }
    {
        // No stored key, but the key was issued to another client already.
        FakeServer server({[](Conn& c) { Handshake(c, 0, 26); }});
        Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "fill", "#000000"}, StateEnv(tmp));
        EXPECT_EQ(r.code, 26);
        EXPECT_NE(r.err.find("already issued"), std::string::npos) << r.err;
        ExpectNoFailures(server);
    }
    {
        // --key is presented as given and never stored; 27 is not retried.
        FakeServer server({[](Conn& c) { Handshake(c, 31337, 27); }});
        Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "--key", "31337", "fill", "#000000"},
                              StateEnv(tmp));
        EXPECT_EQ(r.code, 27);
        EXPECT_FALSE(cl::ReadKeyFile(KeyFileOf(tmp, server)).has_value());
        EXPECT_EQ(server.accepted(), 1);
        ExpectNoFailures(server);
    }
    {
        // --key-file names another file.
        std::string own = tmp.path() + "/own/keyfile";
        FakeServer server({ServeFill(0, 8, 1, 0)});
        Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "--key-file", own, "fill", "#000001"},
                              StateEnv(tmp));
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(readFile(own), "8\n");
        ExpectNoFailures(server);
    }
    {
        std::string broken = tmp.path() + "/broken";
        std::ofstream(broken) << "not a key\n";
        FakeServer server({[](Conn& c) {
            c.SendWord(0);
            c.WaitEof();
        }});
        Result r =
            RunProgram({OVCLIENT_BIN, "-c", server.address(), "--key-file", broken, "fill", "#000001"});
        EXPECT_EQ(r.code, cl::exit_status::kKeyFile);
        ExpectNoFailures(server);
    }
}

TEST(OvclientTool, ShowSendsEachPictureAndReportsResults) {
    TempDir tmp;
    std::vector<uint8_t> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::string png = tmp.path() + "/pic.png", raw = tmp.path() + "/pic.rgb";
    ASSERT_TRUE(testsupport::writePng(png, {2, 2, rgb}));
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(rgb.data()), 6);
    auto want_show = [](uint32_t w, uint32_t h, uint32_t x, uint32_t y, std::vector<uint8_t> px) {
        return Cat({Be32(0), Be32(w), Be32(h), Be32(x), Be32(y), px});
    };
    FakeServer server({[&](Conn& c) {
        Handshake(c, 5, 0);
        if (c.Recv(20 + 12) != want_show(2, 2, 10, 20, rgb)) c.Fail("decoded picture differs");
        c.SendWord(0);
        if (!c.WaitEof()) c.Fail("the client did not leave after its one picture");
    }});
    Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "--key", "5", "show", png, "--at", "10,20"},
                          StateEnv(tmp));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("2x2 at 10,20: result 0 (success)"), std::string::npos) << r.out;
    ExpectNoFailures(server);

    // Raw RGB from a file and from standard input.
    FakeServer both({[&](Conn& c) {
        Handshake(c, 5, 0);
        if (c.Recv(20 + 6) != want_show(2, 1, 10, 20, {1, 2, 3, 4, 5, 6})) c.Fail("raw picture differs");
        c.SendWord(0);
        if (c.Recv(20 + 6) != want_show(2, 1, 10, 20, {1, 2, 3, 4, 5, 6}))
            c.Fail("raw picture from stdin differs");
        c.SendWord(0);
    }});
    Result r2 = RunProgram({OVCLIENT_BIN, "-c", both.address(), "--key", "5", "show", "--raw", "2", "1", raw,
                            "-", "--at", "10,20"},
                           {}, raw);
    EXPECT_EQ(r2.code, 0) << r2.err;
    EXPECT_NE(r2.out.find("result 0 (success)"), std::string::npos) << r2.out;
    EXPECT_NE(r2.out.find("round trip"), std::string::npos) << r2.out;
    ExpectNoFailures(both);
}

TEST(OvclientTool, ShowExitStatusFollowsTheResult) {
    TempDir tmp;
    std::string raw = tmp.path() + "/one.rgb";
    std::ofstream(raw, std::ios::binary) << "abc";
    for (auto [result, status] :
         {std::pair{25u, 25}, std::pair{1001u, 30}, std::pair{137u, 30}, std::pair{22u, 22}}) {
        FakeServer server({[&, result = result](Conn& c) {
            Handshake(c, 5, 0);
            c.Recv(23);
            c.SendWord(result);
        }});
        Result r = RunProgram(
            {OVCLIENT_BIN, "-c", server.address(), "-k", "5", "show", "--raw", "1", "1", raw, raw});
        EXPECT_EQ(r.code, status) << result;
        EXPECT_NE(r.out.find("result " + std::to_string(result)), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(cl::DescribeReply(result, cl::Service::Image)), std::string::npos) << r.err;
        ExpectNoFailures(server);  // the second picture is never sent
    }
    // Undecodable picture: a local failure, before anything is sent.
    std::string junk = tmp.path() + "/junk.png";
    std::ofstream(junk) << "junk";
    FakeServer server({[](Conn& c) {
        Handshake(c, 5, 0);
        c.WaitEof();
    }});
    Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "show", junk});
    EXPECT_EQ(r.code, cl::exit_status::kLocal);
    ExpectNoFailures(server);
}

TEST(OvclientTool, ClockAndQueryAndTiming) {
    TempDir tmp;
    auto serve_clock = [](Conn& c) {
        auto req = c.Recv(12);
        if (!req || (*req)[3] != 2) {
            c.Fail("expected a time-stamp request");
            return;
        }
        int64_t t = cl::WallClockMicros();
        c.Send(Cat({Be32(0), std::vector<uint8_t>(req->begin() + 4, req->end()),
                    Be32(static_cast<uint32_t>(t / 1000000)), Be32(static_cast<uint32_t>(t % 1000000)),
                    Be32(static_cast<uint32_t>(t / 1000000)), Be32(static_cast<uint32_t>(t % 1000000))}));
    };
    FakeServer server({
        [&](Conn& c) {
            Handshake(c, 5, 0);
            for (int i = 0; i < 3; ++i) serve_clock(c);
        },
        [&](Conn& c) {
            Handshake(c, 5, 0);
            if (c.Recv(12) != Cat({Be32(3), Be32(1), Be32(0)})) c.Fail("query request differs");
            c.SendWord(1920);
        },
        [&](Conn& c) {
            Handshake(c, 5, 0);
            for (int i = 0; i < 2; ++i) serve_clock(c);
            c.Recv(23);
            int64_t shown = cl::WallClockMicros();
            c.SendWord(0);
            if (c.Recv(12) != Cat({Be32(3), Be32(4), Be32(0)})) c.Fail("onset query differs");
            c.SendWord(static_cast<uint32_t>(shown));
        },
        [&](Conn& c) {
            Handshake(c, 5, 0);
            c.Recv(12);
            c.SendWord(28);
        },
    });
    Result clock = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "clock", "--samples", "3"});
    EXPECT_EQ(clock.code, 0) << clock.err;
    EXPECT_NE(clock.out.find("offset: "), std::string::npos) << clock.out;
    EXPECT_NE(clock.out.find("uncertainty: "), std::string::npos) << clock.out;
    EXPECT_NE(clock.out.find("over 3 samples"), std::string::npos) << clock.out;

    Result query = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "query", "width"});
    EXPECT_EQ(query.code, 0) << query.err;
    EXPECT_EQ(query.out, "1920\n");

    std::string raw = tmp.path() + "/one.rgb";
    std::ofstream(raw, std::ios::binary) << "abc";
    Result timing = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "show", "--timing",
                                "--clock-samples", "2", "--raw", "1", "1", raw});
    EXPECT_EQ(timing.code, 0) << timing.err;
    EXPECT_NE(timing.out.find("presented at "), std::string::npos) << timing.out;
    EXPECT_NE(timing.out.find("after the request was sent"), std::string::npos) << timing.out;

    Result failed = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "clock", "-n", "1"});
    EXPECT_EQ(failed.code, 28);
    EXPECT_NE(failed.err.find("clock"), std::string::npos) << failed.err;
    ExpectNoFailures(server);
}

// show --present-at: a clock exchange, then per picture the arming (a 0 x 0
// show request with X -3 and Y the moment on the server clock) right before
// the picture, each later picture --interval later; a late one ends the run.
TEST(OvclientTool, PresentAtArmsEachPictureAtItsMoment) {
    TempDir tmp;
    std::string raw = tmp.path() + "/one.rgb";
    std::ofstream(raw, std::ios::binary) << "abc";
    const uint32_t started = static_cast<uint32_t>(cl::WallClockMicros());
    std::vector<uint32_t> moments;
    FakeServer server({[&](Conn& c) {
        Handshake(c, 5, 0);
        for (int i = 0; i < 2; ++i) {  // the server clock is the local one
            auto req = c.Recv(12);
            if (!req) return;
            int64_t t = cl::WallClockMicros();
            c.Send(Cat({Be32(0), std::vector<uint8_t>(req->begin() + 4, req->end()),
                        Be32(static_cast<uint32_t>(t / 1000000)), Be32(static_cast<uint32_t>(t % 1000000)),
                        Be32(static_cast<uint32_t>(t / 1000000)), Be32(static_cast<uint32_t>(t % 1000000))}));
        }
        for (uint32_t answer : {0u, cl::kResultLate}) {
            auto arm = c.Recv(20);
            if (!arm || std::vector<uint8_t>(arm->begin(), arm->begin() + 16) !=
                            Cat({Be32(0), Be32(0), Be32(0), Be32(0xFFFFFFFD)})) {
                c.Fail("no present-at request before the picture");
                return;
            }
            moments.push_back(cl::GetBe32(arm->data() + 16));
            if (c.Recv(23) != Cat({Be32(0), Be32(1), Be32(1), Be32(0), Be32(0), Bytes("abc")}))
                c.Fail("picture differs");
            c.SendWord(0);
            c.SendWord(answer);
            if (c.Recv(12) != Cat({Be32(3), Be32(4), Be32(0)})) c.Fail("onset query differs");
            c.SendWord(moments.back() + 700);
        }
        if (!c.WaitEof()) c.Fail("the client did not leave after the late picture");
    }});
    Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "show", "--present-at", "+200ms",
                           "--interval", "100", "--clock-samples", "2", "--raw", "1", "1", raw, raw, raw});
    const uint32_t ended = static_cast<uint32_t>(cl::WallClockMicros());
    EXPECT_EQ(r.code, 30) << r.err;
    ExpectNoFailures(server);
    ASSERT_EQ(moments.size(), 2u);
    // 200 ms after a moment between the start and the end of the run.
    EXPECT_GE(moments[0] - started, 200000u);
    EXPECT_LE(moments[0] - started, ended + 200000u - started);
    EXPECT_EQ(moments[1] - moments[0], 100000u);
    EXPECT_NE(r.out.find("result 0 (success)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0.700 ms after the requested moment"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result 1003 (presented late"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("presented late"), std::string::npos) << r.err;
}

TEST(OvclientTool, QueriesRefreshAndLate) {
    TempDir tmp;
    auto answer = [](uint32_t what, uint32_t value) {
        return [=](Conn& c) {
            Handshake(c, 5, 0);
            if (c.Recv(12) != Cat({Be32(3), Be32(what), Be32(0)}))
                c.Fail("query " + std::to_string(what) + " differs");
            c.SendWord(value);
        };
    };
    FakeServer server({answer(5, 16683), answer(6, 2)});
    for (auto [what, out] : {std::pair{"refresh", "16683\n"}, std::pair{"late", "2\n"}}) {
        Result r = RunProgram({OVCLIENT_BIN, "-c", server.address(), "-k", "5", "query", what});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, out);
    }
    ExpectNoFailures(server);
}

TEST(OvclientTool, UsageErrorsConnectNowhere) {
    TempDir tmp;
    EXPECT_EQ(RunProgram({OVCLIENT_BIN}).code, cl::exit_status::kUsage);
    EXPECT_EQ(RunProgram({OVCLIENT_BIN, "fill", "red"}).code, cl::exit_status::kUsage);
    EXPECT_EQ(RunProgram({OVCLIENT_BIN, "query", "depth"}).code, cl::exit_status::kUsage);
    EXPECT_EQ(RunProgram({OVCLIENT_BIN, "--key", "0", "fill", "#000000"}).code, cl::exit_status::kUsage);
    EXPECT_EQ(RunProgram({OVCLIENT_BIN, "--key", "1", "--key-file", "/x", "fill", "#000000"}).code,
              cl::exit_status::kUsage);
    EXPECT_EQ(RunProgram({OVCLIENT_BIN, "-k", "1", "show", "--at", "-1,0", "x.png"}).code,
              cl::exit_status::kUsage);
    for (const char* moment : {"soon", "+2200s", "@1"})  // unreadable, more than 35 minutes away
        EXPECT_EQ(RunProgram({OVCLIENT_BIN, "-k", "1", "show", "--present-at", moment, "x.png"}).code,
                  cl::exit_status::kUsage)
            << moment;
    clients_test::RefusingPort port;
    EXPECT_EQ(RunProgram({OVCLIENT_BIN, "-c", port.address(), "-k", "1", "clock"}).code,
              cl::exit_status::kRefused);
    Result help = RunProgram({OVCLIENT_BIN, "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit statuses"), std::string::npos);
}

}  // namespace
