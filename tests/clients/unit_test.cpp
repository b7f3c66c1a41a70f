// Library pieces that need no server: addresses, words, reply texts, exit
// statuses, colours, clock arithmetic, key files and picture loading.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "clientlib/clientlib.h"
#include "fake_server.h"
#include "support/images.h"

namespace cl = clientlib;
namespace fs = std::filesystem;
using clients_test::TempDir;

namespace {

cl::ErrorKind KindOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const cl::ClientError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no ClientError thrown";
    return cl::ErrorKind::Usage;
}

TEST(Address, ParsesEveryForm) {
    cl::Address a = cl::ParseAddress("127.0.0.1:7411");
    EXPECT_EQ(a.kind, cl::Address::Kind::Tcp);
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 7411);

    a = cl::ParseAddress("localhost:1");
    EXPECT_EQ(a.host, "localhost");
    EXPECT_EQ(a.port, 1);

    a = cl::ParseAddress("[::1]:65535");
    EXPECT_EQ(a.kind, cl::Address::Kind::Tcp);
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 65535);

    a = cl::ParseAddress("unix:/run/plughost/ov.sock");
    EXPECT_EQ(a.kind, cl::Address::Kind::Unix);
    EXPECT_EQ(a.path, "/run/plughost/ov.sock");

    // No host, as the host's --listen allows: this machine.
    a = cl::ParseAddress(":7411");
    EXPECT_EQ(a.host, "");
    EXPECT_EQ(a.port, 7411);

    // A colon inside a unix path is part of the path.
    EXPECT_EQ(cl::ParseAddress("unix:/tmp/a:b").path, "/tmp/a:b");
}

TEST(Address, TextFormRoundTrips) {
    for (const char* text : {"127.0.0.1:7412", ":7412", "[::1]:7411", "[fe80::1:2]:80", "unix:/tmp/x.sock", "example.org:9"}) {
        cl::Address a = cl::ParseAddress(text);
        EXPECT_EQ(a.ToString(), text);
        EXPECT_EQ(cl::ParseAddress(a.ToString()), a);
    }
}

TEST(Address, RefusesBadOnes) {
    std::string long_path = "unix:/" + std::string(200, 'a');
    for (std::string bad : {"", "host", "host:", "host:0", "host:65536", "host:99999999",
                            "host:12a", "host:-1", "host: 1", "::1:7411", "[::1]", "[::1]7411", "[]:1",
                            "[zz]:1", "[::1:1", "unix:", "ho st:1", "a/b:1", long_path.c_str()}) {
        EXPECT_EQ(KindOf([&] { cl::ParseAddress(bad); }), cl::ErrorKind::BadAddress) << bad;
    }
    try {
        cl::ParseAddress("127.0.0.1");
    } catch (const cl::ClientError& e) {
        EXPECT_NE(std::string(e.what()).find("port"), std::string::npos) << e.what();
    }
}

TEST(Bytes, BigEndianWords) {
    uint8_t w[8];
    cl::PutBe32(w, 25);
    EXPECT_EQ(std::vector<uint8_t>(w, w + 4), (std::vector<uint8_t>{0, 0, 0, 0x19}));
    cl::PutBe32(w, 0x01020304);
    EXPECT_EQ(std::vector<uint8_t>(w, w + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(cl::GetBe32(w), 0x01020304u);
    const uint8_t high[4] = {0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(cl::GetBe32(high), 0xFFFFFFFEu);
    cl::PutBe64(w, 0x0102030405060708ull);
    EXPECT_EQ(std::vector<uint8_t>(w, w + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(cl::GetBe64(w), 0x0102030405060708ull);
    std::vector<uint8_t> v{9};
    cl::AppendBe32(v, 0xA0B0C0D0);
    EXPECT_EQ(v, (std::vector<uint8_t>{9, 0xA0, 0xB0, 0xC0, 0xD0}));
}

TEST(Reply, WordsDependOnTheService) {
    EXPECT_EQ(cl::DescribeReply(25, cl::Service::File), "the watcher on the server ended");
    EXPECT_EQ(cl::DescribeReply(25, cl::Service::Image), "the viewer could not be written to");
    EXPECT_NE(cl::DescribeReply(23, cl::Service::File).find("watcher's output"), std::string::npos);
    EXPECT_NE(cl::DescribeReply(23, cl::Service::Image).find("argument"), std::string::npos);
    EXPECT_NE(cl::DescribeReply(18, cl::Service::File).find("memory"), std::string::npos);
    EXPECT_TRUE(cl::IsReplyCode(18, cl::Service::File));
    EXPECT_FALSE(cl::IsReplyCode(18, cl::Service::Image));
    EXPECT_FALSE(cl::IsReplyCode(19, cl::Service::File));
    EXPECT_TRUE(cl::IsReplyCode(26, cl::Service::Image));
    EXPECT_TRUE(cl::IsReplyCode(29, cl::Service::Image));
    EXPECT_FALSE(cl::IsReplyCode(30, cl::Service::Image));
    EXPECT_NE(cl::DescribeReply(137, cl::Service::Image).find("137"), std::string::npos);
    EXPECT_NE(cl::DescribeReply(7, cl::Service::File).find("unknown"), std::string::npos);
}

TEST(Reply, ExitStatuses) {
    using K = cl::ErrorKind;
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::ServerCode, "", 25)), 25);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::ServerCode, "", 18)), 18);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::ServerCode, "", 1001)), cl::exit_status::kViewerResult);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::ServerCode, "", 3)), cl::exit_status::kViewerResult);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::Refused, "")), cl::exit_status::kRefused);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::BadAddress, "")), cl::exit_status::kBadAddress);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::Closed, "")), cl::exit_status::kClosed);
    EXPECT_EQ(cl::ExitStatusFor(cl::ClientError(K::KeyFile, "")), cl::exit_status::kKeyFile);
}

TEST(Colour, AcceptsBothForms) {
    EXPECT_EQ(cl::ParseColour("#112233"), 0x112233u);
    EXPECT_EQ(cl::ParseColour("0xAbCdEf"), 0xABCDEFu);
    EXPECT_EQ(cl::ParseColour("0X000000"), 0u);
    EXPECT_EQ(cl::ParseColour("#ffffff"), 0xFFFFFFu);
    for (const char* bad : {"", "112233", "#12345", "#1234567", "#GG0000", "0x", "#", "0x12 345", "red", "x112233"})
        EXPECT_FALSE(cl::ParseColour(bad).has_value()) << bad;
}

TEST(Clock, EstimateUsesTheShortestRoundTrip) {
    // rtt = (t3 - t0) - (t2 - t1); offset = ((t1 - t0) + (t2 - t3)) / 2
    std::vector<cl::ClockSample> s = {
        {1000, 1600, 1610, 1300},  // rtt 290, offset 455
        {2000, 2550, 2560, 2100},  // rtt 90, offset 505
        {3000, 3700, 3720, 3200},  // rtt 180, offset 610
    };
    cl::ClockEstimate e = cl::EstimateClock(s);
    EXPECT_DOUBLE_EQ(e.offset_us, 505.0);
    EXPECT_DOUBLE_EQ(e.uncertainty_us, 45.0);
    EXPECT_EQ(e.min_round_trip_us, 90);
    EXPECT_DOUBLE_EQ(e.median_round_trip_us, 180.0);
    EXPECT_EQ(e.samples, 3u);
    EXPECT_EQ(e.best.t0, 2000);

    s.pop_back();  // even count: the median is the mean of the middle two
    EXPECT_DOUBLE_EQ(cl::EstimateClock(s).median_round_trip_us, 190.0);

    // A server clock behind the local one gives a negative offset; odd sums keep the half.
    std::vector<cl::ClockSample> behind = {{10000, 9000, 9001, 10010}};
    e = cl::EstimateClock(behind);
    EXPECT_DOUBLE_EQ(e.offset_us, -1004.5);
    EXPECT_DOUBLE_EQ(e.uncertainty_us, 4.5);

    EXPECT_EQ(KindOf([] { cl::EstimateClock({}); }), cl::ErrorKind::Usage);
}

TEST(Clock, FullTimeFromLow32Bits) {
    const int64_t k32 = int64_t{1} << 32;
    // Same window.
    EXPECT_EQ(cl::NearestWithLowBits(100, 5 * k32 + 200), 5 * k32 + 100);
    // Reference just after a wrap, value just before it.
    EXPECT_EQ(cl::NearestWithLowBits(0xFFFFFFF0u, 5 * k32 + 5), 5 * k32 - 16);
    // Reference just before a wrap, value just after it.
    EXPECT_EQ(cl::NearestWithLowBits(5, 6 * k32 - 3), 6 * k32 + 5);
    // Microseconds of today: a presentation 3 s before the reference.
    const int64_t now_us = 1754000000123456;
    const int64_t shown = now_us - 3000000;
    EXPECT_EQ(cl::NearestWithLowBits(static_cast<uint32_t>(shown), now_us), shown);
    // Negative reference.
    EXPECT_EQ(cl::NearestWithLowBits(0xFFFFFFFFu, -3), -1);
    // Smaller widths.
    EXPECT_EQ(cl::NearestWithLowBits(0x0F, 0x1F5, 8), 0x20F);
}

TEST(Timing, EveryFormOfAMoment) {
    const int64_t now = 1767225600123456;  // local wall clock, µs
    // Local date and time as mktime has them here, whatever the time zone.
    auto local = [](int year, int month, int day, int h, int m, int sec) {
        tm t{};
        t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
        t.tm_hour = h, t.tm_min = m, t.tm_sec = sec, t.tm_isdst = -1;
        return int64_t{mktime(&t)} * 1000000;
    };
    tm today{};
    const time_t now_sec = static_cast<time_t>(now / 1000000);
    localtime_r(&now_sec, &today);
    const int y = today.tm_year + 1900, mo = today.tm_mon + 1, d = today.tm_mday;
    const std::pair<const char*, int64_t> good[] = {
        {"+250ms", now + 250000},
        {"+1.5s", now + 1500000},
        {"+500us", now + 500},
        {"+0.25ms", now + 250},
        {"+0s", now},
        {"@1767225600.25", 1767225600250000},
        {"@1767225600.0000019", 1767225600000001},
        {"@12", 12000000},
        {"12:34:56", local(y, mo, d, 12, 34, 56)},
        {"00:00:01.5", local(y, mo, d, 0, 0, 1) + 500000},
        {"2026-03-04 05:06:07.000001", local(2026, 3, 4, 5, 6, 7) + 1},
    };
    for (const auto& [text, want] : good) EXPECT_EQ(cl::ParseLocalTime(text, now), want) << text;
    for (const char* bad : {"", "+", "+5", "+5m", "+-5ms", "+1.5.5s", "+.5s", "5ms", "@", "@x", "@1.", "@-1",
                            "12:34", "12:34:56.", "12:34:56x", "25:00:00", " 12:00:00", "12:00:00 ", "2026-03-04",
                            "soon"})
        EXPECT_EQ(KindOf([&] { cl::ParseLocalTime(bad, now); }), cl::ErrorKind::Usage) << '"' << bad << '"';
}

TEST(Timing, MomentsOnTheServerClock) {
    cl::ClockEstimate clock;
    clock.offset_us = 1500.6;  // the server is ahead
    EXPECT_EQ(cl::ServerMicrosAt(1000, clock), 2501u);
    EXPECT_EQ(cl::ServerMicrosAt((int64_t{7} << 32) - 2000, clock), uint32_t(-2000 + 1501));  // low bits wrap
    clock.offset_us = -3000.2;
    EXPECT_EQ(cl::ServerMicrosAt(int64_t{5} << 32, clock), uint32_t(-3000));
    // Back from the low 32 bits, near the local time, across a wrap of the low bits.
    for (int64_t t : {int64_t{1767225600123456}, (int64_t{9} << 32) - 10, (int64_t{9} << 32) + 10})
        EXPECT_EQ(cl::LocalMicrosOf(cl::ServerMicrosAt(t, clock), clock, t + 5000000), t) << t;
}

TEST(KeyFile, NamesAreSafeAndDistinct) {
    EXPECT_EQ(cl::SanitiseForFileName("127.0.0.1:7411"), "127.0.0.1%3A7411");
    EXPECT_EQ(cl::SanitiseForFileName("[::1]:7411"), "%5B%3A%3A1%5D%3A7411");
    EXPECT_EQ(cl::SanitiseForFileName("unix:/tmp/ov.sock"), "unix%3A%2Ftmp%2Fov.sock");
    EXPECT_NE(cl::SanitiseForFileName("a:b"), cl::SanitiseForFileName("a%3Ab"));
    EXPECT_NE(cl::SanitiseForFileName(".."), "..");
    std::string a = "unix:/" + std::string(100, 'x') + "/one", b = "unix:/" + std::string(100, 'x') + "/two";
    std::string na = cl::SanitiseForFileName(a), nb = cl::SanitiseForFileName(b);
    EXPECT_LE(na.size(), 200u);
    EXPECT_NE(na, nb);
    for (char c : na) EXPECT_NE(c, '/');
}

TEST(KeyFile, DefaultPathFollowsXdgStateHome) {
    cl::Address a = cl::ParseAddress("127.0.0.1:7411");
    EXPECT_EQ(cl::DefaultKeyFilePath(a, "/x/state", "/home/u"), fs::path("/x/state/ovclient/127.0.0.1%3A7411"));
    EXPECT_EQ(cl::DefaultKeyFilePath(a, nullptr, "/home/u"),
              fs::path("/home/u/.local/state/ovclient/127.0.0.1%3A7411"));
    EXPECT_EQ(cl::DefaultKeyFilePath(a, "", "/home/u"), fs::path("/home/u/.local/state/ovclient/127.0.0.1%3A7411"));
    EXPECT_EQ(cl::DefaultKeyFilePath(a, "relative/dir", "/home/u"),
              fs::path("/home/u/.local/state/ovclient/127.0.0.1%3A7411"));
    EXPECT_EQ(KindOf([&] { cl::DefaultKeyFilePath(a, nullptr, nullptr); }), cl::ErrorKind::KeyFile);
    EXPECT_EQ(KindOf([&] { cl::DefaultKeyFilePath(a, "rel", "also-rel"); }), cl::ErrorKind::KeyFile);
}

TEST(KeyFile, WriteCreatesPrivateDirectoriesAndFile) {
    TempDir tmp;
    fs::path state = fs::path(tmp.path()) / "state";
    fs::path file = cl::DefaultKeyFilePath(cl::ParseAddress("[::1]:7411"), state.c_str(), nullptr);
    EXPECT_FALSE(cl::ReadKeyFile(file).has_value());

    cl::WriteKeyFile(file, 123456789);
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(cl::ReadKeyFile(file), 123456789u);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "123456789\n");

    // Replacing leaves one file and no temporary beside it.
    cl::WriteKeyFile(file, 2147483647);
    EXPECT_EQ(cl::ReadKeyFile(file), 2147483647u);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(KeyFile, MalformedContentIsAnError) {
    TempDir tmp;
    fs::path file = fs::path(tmp.path()) / "key";
    for (const char* bad : {"", "abc\n", "0\n", "2147483648\n", "12 34\n", "-5\n", "99999999999\n", "7\n\n"}) {
        std::ofstream(file, std::ios::trunc) << bad;
        EXPECT_EQ(KindOf([&] { cl::ReadKeyFile(file); }), cl::ErrorKind::KeyFile) << bad;
    }
    std::ofstream(file, std::ios::trunc) << "42";
    EXPECT_EQ(cl::ReadKeyFile(file), 42u);
    // A directory where the key file should be.
    fs::create_directory(fs::path(tmp.path()) / "dir");
    EXPECT_EQ(KindOf([&] { cl::ReadKeyFile(fs::path(tmp.path()) / "dir"); }), cl::ErrorKind::KeyFile);
    // A parent that is a file cannot hold the key file.
    EXPECT_EQ(KindOf([&] { cl::WriteKeyFile(file / "sub" / "key", 5); }), cl::ErrorKind::KeyFile);
}

TEST(ImageFile, DecodesPngAndPpmToRgb) {
    TempDir tmp;
    std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 40, 50, 60, 70, 80, 90};
    std::string png = tmp.path() + "/p.png";
    ASSERT_TRUE(testsupport::writePng(png, {3, 2, rgb}));
    cl::RgbImage img = cl::DecodeImage(cl::ReadWholeFile(png), png);
    EXPECT_EQ(img.width, 3u);
    EXPECT_EQ(img.height, 2u);
    EXPECT_EQ(img.pixels, rgb);

    std::string ppm_text = "P6\n2 1\n255\n";
    std::vector<uint8_t> ppm(ppm_text.begin(), ppm_text.end());
    ppm.insert(ppm.end(), {1, 2, 3, 4, 5, 6});
    img = cl::DecodeImage(ppm, "x.ppm");
    EXPECT_EQ(img.width, 2u);
    EXPECT_EQ(img.pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));

    // Grey becomes three equal channels.
    std::string pgm_text = "P5\n2 1\n255\n";
    std::vector<uint8_t> pgm(pgm_text.begin(), pgm_text.end());
    pgm.insert(pgm.end(), {7, 200});
    img = cl::DecodeImage(pgm, "x.pgm");
    EXPECT_EQ(img.pixels, (std::vector<uint8_t>{7, 7, 7, 200, 200, 200}));
}

// The plain forms P3 and P2, which the binary decoder does not read:
// comments and any white space between numbers, samples scaled from maxval,
// grey as three equal channels, numbers after the last sample ignored.
TEST(ImageFile, DecodesPlainPpmAndPgm) {
    struct Case {
        std::string text;
        uint32_t width, height;
        std::vector<uint8_t> rgb;
    };
    const Case cases[] = {
        {"P3\n2 1\n255\n1 2 3  4 5 6\n", 2, 1, {1, 2, 3, 4, 5, 6}},
        {"P3 # size next\n1 1 # maxval\n15\n15 0 8", 1, 1, {255, 0, 136}},
        {"P2\n2 1\n65535\n0 65535\n", 2, 1, {0, 0, 0, 255, 255, 255}},
        {"P2\t2\r\n2 1 1 0\n0 1", 2, 2, {255, 255, 255, 0, 0, 0, 0, 0, 0, 255, 255, 255}},
        {"P3\n1 1\n255\n1 2 3 99 99\n", 1, 1, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        cl::RgbImage img = cl::DecodeImage(std::vector<uint8_t>(c.text.begin(), c.text.end()), "plain");
        EXPECT_EQ(img.width, c.width) << c.text;
        EXPECT_EQ(img.height, c.height) << c.text;
        EXPECT_EQ(img.pixels, c.rgb) << c.text;
    }
}

TEST(ImageFile, BadPlainPpmIsALocalErrorNamingTheFault) {
    const std::pair<std::string, std::string> cases[] = {
        {"P3\n2 1\n255\n1 2 3 4 5\n", "ends before its last sample"},
        {"P3\n1 1\n255\n1 2 256", "above maxval"},
        {"P2\n1 1\n255\n-1", "non-number"},
        {"P2\n0 1\n255\n", "is 0"},
        {"P2\n1 1\n0\n0", "maxval out of range"},
        {"P3\n1 1\n65536\n0 0 0", "maxval out of range"},
        {"P3\n1 x\n255\n", "header"},
        {"P3\n99999999999 1\n255\n", "header"},
        {"P3\n4294967295 4294967295\n255\n1 1 1", "ends before its last sample"},
    };
    for (const auto& [text, why] : cases) {
        try {
            cl::DecodeImage(std::vector<uint8_t>(text.begin(), text.end()), "bad.ppm");
            ADD_FAILURE() << "decoded: " << text;
        } catch (const cl::ClientError& e) {
            EXPECT_EQ(e.kind(), cl::ErrorKind::Local) << text;
            EXPECT_NE(std::string(e.what()).find("bad.ppm: cannot decode the picture: "), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << text << " -> " << e.what();
        }
    }
}

TEST(ImageFile, BadInputIsALocalError) {
    std::vector<uint8_t> junk = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
    EXPECT_EQ(KindOf([&] { cl::DecodeImage(junk, "junk"); }), cl::ErrorKind::Local);
    EXPECT_EQ(KindOf([&] { cl::DecodeImage({}, "empty"); }), cl::ErrorKind::Local);
    EXPECT_EQ(KindOf([] { cl::ReadWholeFile("/nonexistent/dir/file.png"); }), cl::ErrorKind::Local);
    EXPECT_EQ(KindOf([] { cl::RawImage(std::vector<uint8_t>(5), 2, 1, "raw"); }), cl::ErrorKind::Local);
    cl::RgbImage raw = cl::RawImage(std::vector<uint8_t>(6, 9), 2, 1, "raw");
    EXPECT_EQ(raw.width, 2u);
    EXPECT_EQ(raw.pixels.size(), 6u);
}

TEST(ImageRequest, SizeLimits) {
    EXPECT_NO_THROW(cl::CheckShowRequest(0, 0, 0));
    EXPECT_NO_THROW(cl::CheckShowRequest(7680, 4320, 7680u * 4320u * 3u));
    // 26755 * 26755 * 3 + 20 passes 2^31 - 1.
    EXPECT_EQ(KindOf([] { cl::CheckShowRequest(26755, 26755, 0); }), cl::ErrorKind::Usage);
    EXPECT_EQ(KindOf([] { cl::CheckShowRequest(0xFFFFFFFFu, 2, 0); }), cl::ErrorKind::Usage);
    EXPECT_EQ(KindOf([] { cl::CheckShowRequest(2, 2, 11); }), cl::ErrorKind::Usage);
}

}  // namespace
