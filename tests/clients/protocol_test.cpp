// Both client protocols against scripted servers that send exact bytes.
#include <gtest/gtest.h>

#include <numeric>

#include "clientlib/clientlib.h"
#include "fake_server.h"
#include "support/proc.h"

namespace cl = clientlib;
using clients_test::Be32;
using clients_test::Cat;
using clients_test::Conn;
using clients_test::FakeServer;

namespace {

constexpr auto kTimeout = std::chrono::milliseconds(testsupport::kWait);

cl::Address Addr(const FakeServer& s) { return cl::ParseAddress(s.address()); }

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

void ExpectNoFailures(FakeServer& s) {
    for (const auto& f : s.Join()) ADD_FAILURE() << "server: " << f;
}

template <typename F>
cl::ClientError Catch(F f) {
    try {
        f();
    } catch (const cl::ClientError& e) {
        return e;
    }
    ADD_FAILURE() << "no ClientError thrown";
    return cl::ClientError(cl::ErrorKind::Usage, "none");
}

// ---- file follow ------------------------------------------------------------

TEST(FollowSession, RecordsOfLengthZeroFiveAndLargeSplitArbitrarily) {
    std::vector<uint8_t> large(300000);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7 + 3);
    std::string path = "/tmp/some file";
    FakeServer server({[&](Conn& c) {
        c.SendWord(0);
        auto got = c.RecvUntilNul();
        if (got != path) c.Fail("path received: " + got.value_or("<none>"));
        c.SendWord(0);
        std::vector<uint8_t> stream = Cat({Be32(0), Be32(5), Bytes("hello"), Be32(300000), large, Be32(25)});
        // Split inside length words, inside contents and across records.
        c.SendSplit(stream, {1, 2, 3, 1, 5, 3, 100, 7000, 1, 65536, 100000});
    }});
    cl::FollowSession s = cl::FollowSession::Connect(Addr(server), kTimeout);
    s.Start(path, cl::Deadline::After(kTimeout));
    cl::FollowEvent e = s.Next(cl::Deadline::After(kTimeout));
    EXPECT_EQ(e.kind, cl::FollowEvent::Kind::Version);
    EXPECT_EQ(e.content, "");
    e = s.Next(cl::Deadline::After(kTimeout));
    EXPECT_EQ(e.kind, cl::FollowEvent::Kind::Version);
    EXPECT_EQ(e.content, "hello");
    e = s.Next(cl::Deadline::After(kTimeout));
    ASSERT_EQ(e.kind, cl::FollowEvent::Kind::Version);
    EXPECT_EQ(e.content, std::string(large.begin(), large.end()));
    e = s.Next(cl::Deadline::After(kTimeout));
    EXPECT_EQ(e.kind, cl::FollowEvent::Kind::ClosingCode);
    EXPECT_EQ(e.code, 25u);
    EXPECT_FALSE(e.mid_record);
    ExpectNoFailures(server);
}

TEST(FollowSession, ClosingCodesAreToldFromLengthsByTheClose) {
    // A 25-byte version followed by code 25: the same word twice, told apart only by what follows.
    std::string v25(25, 'v');
    FakeServer server({[&](Conn& c) {
        c.SendWord(0);
        c.RecvUntilNul();
        c.SendWord(0);
        c.Send(Cat({Be32(25), Bytes(v25), Be32(18), Bytes(std::string(18, 'e')), Be32(23),
                    Bytes(std::string(23, 't')), Be32(25)}));
    }});
    cl::FollowSession s = cl::FollowSession::Connect(Addr(server), kTimeout);
    s.Start("/x", cl::Deadline::After(kTimeout));
    for (auto [len, ch] : {std::pair{25, 'v'}, std::pair{18, 'e'}, std::pair{23, 't'}}) {
        cl::FollowEvent e = s.Next(cl::Deadline::After(kTimeout));
        ASSERT_EQ(e.kind, cl::FollowEvent::Kind::Version) << len;
        EXPECT_EQ(e.content, std::string(static_cast<size_t>(len), ch));
    }
    cl::FollowEvent e = s.Next(cl::Deadline::After(kTimeout));
    EXPECT_EQ(e.kind, cl::FollowEvent::Kind::ClosingCode);
    EXPECT_EQ(e.code, 25u);
    ExpectNoFailures(server);
}

TEST(FollowSession, EachClosingCodeAndThePlainClose) {
    for (uint32_t code : {18u, 23u, 25u}) {
        FakeServer server({[&](Conn& c) {
            c.SendWord(0);
            c.RecvUntilNul();
            c.Send(Cat({Be32(0), Be32(2), Bytes("ab"), Be32(code)}));
        }});
        cl::FollowSession s = cl::FollowSession::Connect(Addr(server), kTimeout);
        // The start reply 0 and an empty version look alike; the first 0 is taken as the start.
        s.Start("/y", cl::Deadline::After(kTimeout));
        cl::FollowEvent e = s.Next(cl::Deadline::After(kTimeout));
        EXPECT_EQ(e.content, "ab");
        e = s.Next(cl::Deadline::After(kTimeout));
        EXPECT_EQ(e.kind, cl::FollowEvent::Kind::ClosingCode);
        EXPECT_EQ(e.code, code);
        ExpectNoFailures(server);
    }
    // A close at a record boundary without any code.
    FakeServer server({[&](Conn& c) {
        c.SendWord(0);
        c.RecvUntilNul();
        c.Send(Cat({Be32(0), Be32(0)}));
    }});
    cl::FollowSession s = cl::FollowSession::Connect(Addr(server), kTimeout);
    s.Start("/z", cl::Deadline::After(kTimeout));
    cl::FollowEvent e = s.Next(cl::Deadline::After(kTimeout));
    EXPECT_EQ(e.kind, cl::FollowEvent::Kind::Version);
    EXPECT_EQ(e.content, "");
    EXPECT_EQ(s.Next(cl::Deadline::After(kTimeout)).kind, cl::FollowEvent::Kind::Closed);
    ExpectNoFailures(server);
}

TEST(FollowSession, RefusalsAndEarlyEnds) {
    {
        FakeServer server({[](Conn& c) { c.SendWord(18); }});
        cl::ClientError e = Catch([&] { cl::FollowSession::Connect(Addr(server), kTimeout); });
        EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode);
        EXPECT_EQ(e.code(), 18u);
        ExpectNoFailures(server);
    }
    {
        // The watcher ended before it started: 25 in place of the second 0.
        FakeServer server({[](Conn& c) {
            c.SendWord(0);
            c.RecvUntilNul();
            c.SendWord(25);
        }});
        auto s = cl::FollowSession::Connect(Addr(server), kTimeout);
        cl::ClientError e = Catch([&] { s.Start("/missing", cl::Deadline::After(kTimeout)); });
        EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode);
        EXPECT_EQ(e.code(), 25u);
        EXPECT_NE(std::string(e.what()).find("the watcher on the server ended"), std::string::npos);
        ExpectNoFailures(server);
    }
    {
        FakeServer server({[](Conn& c) {
            c.SendWord(0);
            c.RecvUntilNul();
        }});
        auto s = cl::FollowSession::Connect(Addr(server), kTimeout);
        EXPECT_EQ(Catch([&] { s.Start("/p", cl::Deadline::After(kTimeout)); }).kind(), cl::ErrorKind::Closed);
        ExpectNoFailures(server);
    }
    {
        FakeServer server({[](Conn& c) { c.SendWord(7); }});
        EXPECT_EQ(Catch([&] { cl::FollowSession::Connect(Addr(server), kTimeout); }).kind(),
                  cl::ErrorKind::BadReply);
        ExpectNoFailures(server);
    }
}

TEST(FollowSession, BrokenStreams) {
    struct Case {
        std::vector<uint8_t> after_start;
        cl::ErrorKind kind;
    };
    std::vector<Case> cases = {
        {Cat({Be32(10), Bytes("abc")}), cl::ErrorKind::Closed},  // closed inside a record
        {Cat({Be32(25), Bytes("a")}), cl::ErrorKind::Closed},    // a code-like length with content
        {Cat({Be32(7)}), cl::ErrorKind::Closed},                 // a length that is no code, then the close
        {{0, 0}, cl::ErrorKind::BadReply},                       // torn length word
        {Be32(0x7FFFFFFC), cl::ErrorKind::BadReply},             // longer than the server sends
        {Be32(0xFFFFFFFF), cl::ErrorKind::BadReply},
    };
    for (const auto& c : cases) {
        FakeServer server({[&](Conn& conn) {
            conn.SendWord(0);
            conn.RecvUntilNul();
            conn.SendWord(0);
            conn.Send(c.after_start);
        }});
        auto s = cl::FollowSession::Connect(Addr(server), kTimeout);
        s.Start("/b", cl::Deadline::After(kTimeout));
        EXPECT_EQ(Catch([&] { s.Next(cl::Deadline::After(kTimeout)); }).kind(), c.kind);
        ExpectNoFailures(server);
    }
}

TEST(FollowSession, CodeEighteenInTheMiddleOfARecord) {
    FakeServer server({[](Conn& c) {
        c.SendWord(0);
        c.RecvUntilNul();
        c.SendWord(0);
        c.Send(Cat({Be32(100), Bytes("partial"), Be32(18)}));
    }});
    auto s = cl::FollowSession::Connect(Addr(server), kTimeout);
    s.Start("/m", cl::Deadline::After(kTimeout));
    cl::FollowEvent e = s.Next(cl::Deadline::After(kTimeout));
    EXPECT_EQ(e.kind, cl::FollowEvent::Kind::ClosingCode);
    EXPECT_EQ(e.code, 18u);
    EXPECT_TRUE(e.mid_record);
    EXPECT_TRUE(e.content.empty());
    ExpectNoFailures(server);
}

TEST(FollowSession, PathWithNulIsRefusedBeforeSending) {
    FakeServer server({[](Conn& c) {
        c.SendWord(0);
        if (!c.WaitEof()) c.Fail("the client sent something");
    }});
    {
        auto s = cl::FollowSession::Connect(Addr(server), kTimeout);
        EXPECT_EQ(Catch([&] { s.Start(std::string_view("/a\0b", 4), cl::Deadline::After(kTimeout)); }).kind(),
                  cl::ErrorKind::Usage);
    }
    ExpectNoFailures(server);
}

TEST(FollowSession, SilentServerTimesOut) {
    FakeServer server({[](Conn& c) {
        if (!c.WaitEof()) c.Fail("the client did not give up");
    }});
    EXPECT_EQ(Catch([&] { cl::FollowSession::Connect(Addr(server), std::chrono::milliseconds(100)); }).kind(),
              cl::ErrorKind::Timeout);
    ExpectNoFailures(server);
}

TEST(Connect, RefusedAndNoLeakedDescriptors) {
    int before = testsupport::openDescriptors();
    {
        clients_test::RefusingPort port;
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(Catch([&] { cl::Connect(cl::ParseAddress(port.address()), kTimeout); }).kind(),
                      cl::ErrorKind::Refused);
        // No host: loopback.
        EXPECT_EQ(
            Catch([&] { cl::Connect(cl::ParseAddress(":" + std::to_string(port.port())), kTimeout); }).kind(),
            cl::ErrorKind::Refused);
        EXPECT_EQ(Catch([] { cl::Connect(cl::ParseAddress("unix:/nonexistent/sock"), kTimeout); }).kind(),
                  cl::ErrorKind::ConnectFailed);
        std::vector<FakeServer::Script> scripts;
        for (int i = 0; i < 3; ++i) scripts.push_back([](Conn& c) { c.SendWord(23); });
        FakeServer server(std::move(scripts));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(Catch([&] { cl::ImageSession::Connect(Addr(server), kTimeout); }).code(), 23u);
        ExpectNoFailures(server);
    }
    EXPECT_EQ(testsupport::openDescriptors(), before);
}

// ---- images -----------------------------------------------------------------

TEST(ImageSession, KeyIssuedAndPresented) {
    FakeServer server({
        [](Conn& c) {
            c.SendWord(0);
            if (c.RecvWord() != 0u) c.Fail("expected a key request");
            c.Send(Cat({Be32(0), Be32(123456789)}));
        },
        [](Conn& c) {
            c.SendWord(0);
            if (c.RecvWord() != 123456789u) c.Fail("expected the key");
            c.SendWord(0);
        },
    });
    auto first = cl::ImageSession::Connect(Addr(server), kTimeout);
    uint32_t key = first.RequestKey(cl::Deadline::After(kTimeout));
    EXPECT_EQ(key, 123456789u);
    auto second = cl::ImageSession::Connect(Addr(server), kTimeout);
    EXPECT_NO_THROW(second.PresentKey(key, cl::Deadline::After(kTimeout)));
    ExpectNoFailures(server);
}

TEST(ImageSession, KeyRefusals) {
    FakeServer server({
        [](Conn& c) {
            c.SendWord(0);
            c.RecvWord();
            c.SendWord(26);
        },
        [](Conn& c) {
            c.SendWord(0);
            c.RecvWord();
            c.SendWord(27);
        },
        [](Conn& c) {
            c.SendWord(0);
            c.RecvWord();
            c.SendWord(26);  // asked for a key after one was issued
        },
        [](Conn& c) {
            c.SendWord(0);
            c.RecvWord();
            c.Send(Cat({Be32(0), Be32(0)}));  // no server issues the key 0
        },
        [](Conn& c) { c.SendWord(22); },  // the viewer is gone
    });
    auto a = cl::ImageSession::Connect(Addr(server), kTimeout);
    cl::ClientError e = Catch([&] { a.PresentKey(5, cl::Deadline::After(kTimeout)); });
    EXPECT_EQ(e.code(), 26u);
    EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode);
    auto b = cl::ImageSession::Connect(Addr(server), kTimeout);
    EXPECT_EQ(Catch([&] { b.PresentKey(5, cl::Deadline::After(kTimeout)); }).code(), 27u);
    auto c = cl::ImageSession::Connect(Addr(server), kTimeout);
    EXPECT_EQ(Catch([&] { c.RequestKey(cl::Deadline::After(kTimeout)); }).code(), 26u);
    auto d = cl::ImageSession::Connect(Addr(server), kTimeout);
    EXPECT_EQ(Catch([&] { d.RequestKey(cl::Deadline::After(kTimeout)); }).kind(), cl::ErrorKind::BadReply);
    cl::ClientError refused = Catch([&] { cl::ImageSession::Connect(Addr(server), kTimeout); });
    EXPECT_EQ(refused.code(), 22u);
    EXPECT_NE(std::string(refused.what()).find("127"), std::string::npos);
    ExpectNoFailures(server);
}

TEST(ImageSession, RequestBytesOnTheWire) {
    FakeServer server({[](Conn& c) {
        c.SendWord(0);
        c.RecvWord();
        c.SendWord(0);
        auto show = c.Recv(26);
        std::vector<uint8_t> want = {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0,
                                     0, 0, 5, 0, 0, 0, 7, 1, 2, 3, 4, 5, 6};
        if (show != want) c.Fail("show request differs");
        c.SendWord(0);
        auto fill = c.Recv(8);
        if (fill != std::vector<uint8_t>{0, 0, 0, 1, 0, 0x11, 0x22, 0x33}) c.Fail("fill request differs");
        c.SendWord(1001);
        auto query = c.Recv(12);
        if (query != std::vector<uint8_t>{0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0})
            c.Fail("query request differs");
        c.SendWord(0xDEADBEEF);
        auto empty = c.Recv(20);
        if (empty != std::vector<uint8_t>(20, 0)) c.Fail("empty show request differs");
        c.SendWord(137);
        // A show request of 0 x 0 pixels with X -3 and Y the moment.
        auto arm = c.Recv(20);
        if (arm != Cat({Be32(0), Be32(0), Be32(0), Be32(0xFFFFFFFD), Be32(0x89ABCDEF)}))
            c.Fail("present-at request differs");
        c.SendWord(0);
    }});
    auto s = cl::ImageSession::Connect(Addr(server), kTimeout);
    s.PresentKey(77, cl::Deadline::After(kTimeout));
    std::vector<uint8_t> px = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(s.Show(2, 1, 5, 7, px, cl::Deadline::After(kTimeout)), 0u);
    EXPECT_EQ(s.Fill(0x112233, cl::Deadline::After(kTimeout)), 1001u);
    EXPECT_EQ(s.Query(cl::kQueryOnset, 0, cl::Deadline::After(kTimeout)), 0xDEADBEEFu);
    EXPECT_EQ(s.Show(0, 0, 0, 0, {}, cl::Deadline::After(kTimeout)), 137u);
    EXPECT_EQ(s.PresentAt(0x89ABCDEF, cl::Deadline::After(kTimeout)), 0u);
    // Wrong pixel count: nothing is sent.
    EXPECT_EQ(Catch([&] { s.SendShow(2, 2, 0, 0, px, cl::Deadline::After(kTimeout)); }).kind(),
              cl::ErrorKind::Usage);
    ExpectNoFailures(server);
}

TEST(ImageSession, PipelinedRequestsAnsweredInOrder) {
    const uint32_t w = 640, h = 480;
    std::vector<uint8_t> px(w * h * 3);
    std::iota(px.begin(), px.end(), 0);
    FakeServer server({[&](Conn& c) {
        c.SendWord(0);
        c.RecvWord();
        c.SendWord(0);
        for (int i = 0; i < 3; ++i) {
            auto frame = c.Recv(20 + px.size());
            if (!frame || !std::equal(px.begin(), px.end(), frame->begin() + 20))
                c.Fail("frame pixels differ");
        }
        c.Recv(8);
        c.Send(Cat({Be32(0), Be32(1), Be32(2), Be32(3)}));
    }});
    auto s = cl::ImageSession::Connect(Addr(server), kTimeout);
    s.PresentKey(1, cl::Deadline::After(kTimeout));
    for (int i = 0; i < 3; ++i) s.SendShow(w, h, 0, 0, px, cl::Deadline::After(kTimeout));
    s.SendFill(0, cl::Deadline::After(kTimeout));
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(s.ReadResult(cl::Deadline::After(kTimeout)), i);
    ExpectNoFailures(server);
}

TEST(ImageSession, ClockAnswerParsing) {
    // 01 ... 08 at server time 1000 s 250 µs and 1000 s 260 µs.
    const std::vector<uint8_t> answer = {0, 0,    0, 0, 1, 2,    3, 4, 5, 6,    7, 8, 0, 0,
                                         3, 0xE8, 0, 0, 0, 0xFA, 0, 0, 3, 0xE8, 0, 0, 1, 4};
    FakeServer server({[&](Conn& c) {
        c.SendWord(0);
        c.RecvWord();
        c.SendWord(0);
        auto req = c.Recv(12);
        if (req != std::vector<uint8_t>{0, 0, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8})
            c.Fail("time-stamp request differs");
        c.SendSplit(answer, {3, 9, 1});
        c.Recv(12);
        c.SendWord(28);
        c.Recv(12);
        c.SendWord(19);
    }});
    auto s = cl::ImageSession::Connect(Addr(server), kTimeout);
    s.PresentKey(1, cl::Deadline::After(kTimeout));
    std::array<uint8_t, 8> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    s.SendTimeStamp(bytes, cl::Deadline::After(kTimeout));
    cl::ClockAnswer a = s.ReadClockAnswer(cl::Deadline::After(kTimeout));
    EXPECT_EQ(a.code, 0u);
    EXPECT_EQ(a.echo, bytes);
    EXPECT_EQ(a.t1_sec, 1000u);
    EXPECT_EQ(a.t1_usec, 250u);
    EXPECT_EQ(a.t2_sec, 1000u);
    EXPECT_EQ(a.t2_usec, 260u);
    // A failure code stands alone: the next request's answer follows straight after it.
    s.SendTimeStamp(bytes, cl::Deadline::After(kTimeout));
    EXPECT_EQ(s.ReadClockAnswer(cl::Deadline::After(kTimeout)).code, 28u);
    cl::ClientError e = Catch([&] { s.ExchangeClock(cl::Deadline::After(kTimeout)); });
    EXPECT_EQ(e.kind(), cl::ErrorKind::ServerCode);
    EXPECT_EQ(e.code(), 19u);
    ExpectNoFailures(server);
}

// Answers time-stamp requests with the real wall clock, as the server does.
void ServeClock(Conn& c, int count, bool corrupt_echo) {
    c.SendWord(0);
    c.RecvWord();
    c.SendWord(0);
    for (int i = 0; i < count; ++i) {
        auto req = c.Recv(12);
        if (!req) return;
        int64_t t1 = cl::WallClockMicros();
        std::vector<uint8_t> echo(req->begin() + 4, req->end());
        if (corrupt_echo) echo[7] ^= 1;
        int64_t t2 = cl::WallClockMicros();
        c.Send(Cat({Be32(0), echo, Be32(static_cast<uint32_t>(t1 / 1000000)),
                    Be32(static_cast<uint32_t>(t1 % 1000000)), Be32(static_cast<uint32_t>(t2 / 1000000)),
                    Be32(static_cast<uint32_t>(t2 % 1000000))}));
    }
}

TEST(ImageSession, ClockExchangeOnOneClock) {
    FakeServer server({[](Conn& c) { ServeClock(c, 5, false); }});
    auto s = cl::ImageSession::Connect(Addr(server), kTimeout);
    s.PresentKey(1, cl::Deadline::After(kTimeout));
    std::vector<cl::ClockSample> samples;
    for (int i = 0; i < 5; ++i) samples.push_back(s.ExchangeClock(cl::Deadline::After(kTimeout)));
    for (const auto& x : samples) {
        // One clock on both ends: the server's readings lie inside the exchange.
        EXPECT_LE(x.t0, x.t1);
        EXPECT_LE(x.t1, x.t2);
        EXPECT_LE(x.t2, x.t3);
    }
    cl::ClockEstimate e = cl::EstimateClock(samples);
    EXPECT_LE(std::abs(e.offset_us), e.uncertainty_us);
    ExpectNoFailures(server);
}

TEST(ImageSession, ClockAnswerWithWrongEchoIsABadReply) {
    FakeServer server({[](Conn& c) { ServeClock(c, 1, true); }});
    auto s = cl::ImageSession::Connect(Addr(server), kTimeout);
    s.PresentKey(1, cl::Deadline::After(kTimeout));
    EXPECT_EQ(Catch([&] { s.ExchangeClock(cl::Deadline::After(kTimeout)); }).kind(), cl::ErrorKind::BadReply);
    ExpectNoFailures(server);
}

TEST(ImageSession, ServerClosesWhileAResultIsAwaited) {
    FakeServer server({[](Conn& c) {
        c.SendWord(0);
        c.RecvWord();
        c.SendWord(0);
        c.Recv(8);
    }});
    auto s = cl::ImageSession::Connect(Addr(server), kTimeout);
    s.PresentKey(1, cl::Deadline::After(kTimeout));
    EXPECT_EQ(Catch([&] { s.Fill(0, cl::Deadline::After(kTimeout)); }).kind(), cl::ErrorKind::Closed);
    ExpectNoFailures(server);
}

}  // namespace
