// ovclient: shows pictures on the server's display and talks to its viewer.
#include <signal.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clientlib/clientlib.h"

namespace cl = clientlib;

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1:7411";

constexpr const char* kFooter = R"(
Key: the server admits only clients that present its one key. Without --key,
ovclient keeps the key in a file per server address ($XDG_STATE_HOME/ovclient/
or ~/.local/state/ovclient/, mode 0600): the first run asks the server for the
key, prints it on standard error and stores it; later runs present it. When a
stored key is refused with 27 (the server restarted and has no key yet) a new
key is asked for and stored. 26 means someone else holds the server's key.
The server closes every other client when the client that was issued the key
disconnects.

Exit statuses:
  0   success
  1   unexpected internal error
  2   bad command line
  3   bad address
  4   connection refused (no server listens there)
  5   could not connect otherwise (no such host or socket, unreachable, timed out)
  6   closed by the server without a reply code
  7   bad reply (the server broke the protocol)
  8   the server did not answer within --timeout
  9   I/O error on the connection
  10  a picture could not be read or decoded, or is too large
  11  the key file could not be read
  19-29  the server's reply code of that number (26: key mismatch, 27: no key issued yet, ...)
  30  the viewer answered with a non-zero result of its own (1003: presented late))";

struct Globals {
    std::string connect = kDefaultAddress;
    std::optional<uint32_t> key;
    std::string key_file;
    double timeout_s = 30;

    std::chrono::milliseconds Timeout() const {
        return std::chrono::milliseconds(static_cast<int64_t>(timeout_s * 1000));
    }
    cl::Deadline Next() const { return cl::Deadline::After(Timeout()); }
};

void Note(const std::string& text) { std::cerr << "ovclient: " << text << "\n"; }

[[noreturn]] void Refused(const cl::ClientError& e, const std::string& advice) {
    throw cl::ClientError(cl::ErrorKind::ServerCode, std::string(e.what()) + "\n  " + advice, e.code());
}

bool IsCode(const cl::ClientError& e, uint32_t code) {
    return e.kind() == cl::ErrorKind::ServerCode && e.code() == code;
}

uint32_t IssueKey(const cl::Address& address, const Globals& g, cl::ImageSession& session,
                  const std::filesystem::path& file) {
    uint32_t key;
    try {
        key = session.RequestKey(g.Next());
    } catch (const cl::ClientError& e) {
        if (IsCode(e, REPLY_KEY_MISMATCH))
            Refused(e, "the server has already issued its key to another client; get the key from "
                       "its holder and pass it with --key K (or store it in " + file.string() + ")");
        throw;
    }
    std::cerr << "key: " << key << "\n";
    try {
        cl::WriteKeyFile(file, key);
        Note("the key for " + address.ToString() + " is stored in " + file.string());
    } catch (const cl::ClientError& e) {
        Note(std::string("warning: ") + e.what() + "; the key is not stored");
    }
    return key;
}

// Connects and passes the key handshake.
cl::ImageSession OpenSession(const Globals& g) {
    cl::Address address = cl::ParseAddress(g.connect);
    cl::ImageSession session = cl::ImageSession::Connect(address, g.Timeout());
    if (g.key) {
        try {
            session.PresentKey(*g.key, g.Next());
        } catch (const cl::ClientError& e) {
            if (IsCode(e, REPLY_NO_KEY_ISSUED))
                Refused(e, "the server has no key yet: run without --key to be issued one");
            if (IsCode(e, REPLY_KEY_MISMATCH))
                Refused(e, "the key given with --key is not the server's key");
            throw;
        }
        return session;
    }
    std::filesystem::path file =
        g.key_file.empty()
            ? cl::DefaultKeyFilePath(address, std::getenv("XDG_STATE_HOME"), std::getenv("HOME"))
            : std::filesystem::path(g.key_file);
    std::optional<uint32_t> stored = cl::ReadKeyFile(file);
    if (!stored) {
        IssueKey(address, g, session, file);
        return session;
    }
    try {
        session.PresentKey(*stored, g.Next());
        return session;
    } catch (const cl::ClientError& e) {
        if (IsCode(e, REPLY_KEY_MISMATCH))
            Refused(e, "the key stored in " + file.string() +
                           " is not the server's key: someone else holds the server's key. Get it "
                           "from its holder and pass it with --key K, or replace the file");
        if (!IsCode(e, REPLY_NO_KEY_ISSUED)) throw;
    }
    // 27: the server has issued no key since it started; ask for a new one.
    Note("the stored key was refused: the server has no key yet (it restarted); asking for a new one");
    session = cl::ImageSession::Connect(address, g.Timeout());
    IssueKey(address, g, session, file);
    return session;
}

cl::ClockEstimate MeasureClock(cl::ImageSession& session, const Globals& g, unsigned samples) {
    std::vector<cl::ClockSample> all;
    all.reserve(samples);
    for (unsigned i = 0; i < samples; ++i) all.push_back(session.ExchangeClock(g.Next()));
    return cl::EstimateClock(all);
}

std::string FormatLocalTime(int64_t micros) {
    time_t secs = static_cast<time_t>(micros / 1000000);
    int64_t frac = micros % 1000000;
    if (frac < 0) {
        frac += 1000000;
        --secs;
    }
    tm parts{};
    localtime_r(&secs, &parts);
    char text[64];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%06" PRId64, frac);
    return text;
}

std::string Ms(int64_t micros) {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f ms", static_cast<double>(micros) / 1000.0);
    return t;
}

std::string Describe(uint32_t result) {
    switch (result) {
    case cl::kResultNoMemory: return "the viewer had no memory for the picture";
    case cl::kResultLate: return "presented late, more than one refresh after the requested moment";
    default: return cl::DescribeReply(result, cl::Service::Image);
    }
}

// Throws for a non-zero result so that the exit status tells what happened.
void CheckResult(uint32_t result, const std::string& what) {
    if (result == 0) return;
    throw cl::ClientError(cl::ErrorKind::ServerCode,
                          what + ": result " + std::to_string(result) + ": " + Describe(result), result);
}

int CmdClock(const Globals& g, unsigned samples) {
    cl::ImageSession session = OpenSession(g);
    cl::ClockEstimate e = MeasureClock(session, g, samples);
    std::printf("offset: %+.1f us (server clock minus local clock)\n", e.offset_us);
    std::printf("uncertainty: %.1f us\n", e.uncertainty_us);
    std::printf("round trip: min %" PRId64 " us, median %.1f us over %zu samples\n",
                e.min_round_trip_us, e.median_round_trip_us, e.samples);
    return 0;
}

struct ShowOptions {
    std::vector<std::string> images;
    std::vector<uint32_t> raw;
    std::string at = "0,0";
    unsigned interval_ms = 0;
    bool timing = false;
    std::string present_at;
    unsigned clock_samples = 8;
};

std::pair<uint32_t, uint32_t> ParseAt(const std::string& text) {
    size_t comma = text.find(',');
    auto num = [&](const std::string& part) -> uint32_t {
        if (part.empty() || part.size() > 10 || part.find_first_not_of("0123456789") != std::string::npos)
            throw cl::ClientError(cl::ErrorKind::Usage, "--at takes X,Y with two numbers from 0 to 2147483647, not \"" + text + "\"");
        uint64_t v = std::stoull(part);
        if (v > 2147483647u)
            throw cl::ClientError(cl::ErrorKind::Usage, "--at takes X,Y with two numbers from 0 to 2147483647, not \"" + text + "\"");
        return static_cast<uint32_t>(v);
    };
    if (comma == std::string::npos)
        throw cl::ClientError(cl::ErrorKind::Usage, "--at takes X,Y, not \"" + text + "\"");
    return {num(text.substr(0, comma)), num(text.substr(comma + 1))};
}

int CmdShow(const Globals& g, const ShowOptions& o) {
    auto [x, y] = ParseAt(o.at);
    // With --present-at, picture i is due at the moment + i x --interval.
    std::optional<int64_t> first_moment;
    if (!o.present_at.empty()) {
        const int64_t now = cl::WallClockMicros();
        first_moment = cl::ParseLocalTime(o.present_at, now);
        const int64_t last = *first_moment + int64_t{o.interval_ms} * 1000 * int64_t(o.images.size() - 1);
        for (int64_t moment : {*first_moment, last})
            if (moment - now > cl::kFarthestMoment || now - moment > cl::kFarthestMoment)
                throw cl::ClientError(cl::ErrorKind::Usage,
                                      "--present-at: " + FormatLocalTime(moment) +
                                          " is more than 35 minutes away; the viewer could not tell it apart");
    }
    cl::ImageSession session = OpenSession(g);
    std::optional<cl::ClockEstimate> clock;
    if (o.timing || first_moment) clock = MeasureClock(session, g, o.clock_samples);
    for (size_t i = 0; i < o.images.size(); ++i) {
        const std::string& name = o.images[i];
        if (i > 0 && o.interval_ms > 0 && !first_moment)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.interval_ms));
        cl::RgbImage img;
        try {
            std::vector<uint8_t> bytes = cl::ReadWholeFile(name);
            img = o.raw.empty() ? cl::DecodeImage(bytes, name)
                                : cl::RawImage(std::move(bytes), o.raw[0], o.raw[1], name);
            cl::CheckShowRequest(img.width, img.height, img.pixels.size());
        } catch (const cl::ClientError& e) {
            throw cl::ClientError(cl::ErrorKind::Local, e.what());
        }
        std::optional<int64_t> moment;
        if (first_moment) moment = *first_moment + int64_t{o.interval_ms} * 1000 * int64_t(i);
        int64_t sent = cl::WallClockMicros();
        auto t0 = cl::Clock::now();
        uint32_t result;
        if (moment) {
            // The arming and the picture right behind it; two answers.
            session.SendPresentAt(cl::ServerMicrosAt(*moment, *clock), g.Next());
            session.SendShow(img.width, img.height, x, y, img.pixels, g.Next());
            CheckResult(session.ReadResult(g.Next()), name + ": --present-at");
            result = session.ReadResult(g.Next());
        } else {
            result = session.Show(img.width, img.height, x, y, img.pixels, g.Next());
        }
        int64_t trip = std::chrono::duration_cast<std::chrono::microseconds>(cl::Clock::now() - t0).count();
        std::printf("%s: %ux%u at %u,%u: result %u (%s), round trip %s\n", name.c_str(), img.width,
                    img.height, x, y, result, Describe(result).c_str(), Ms(trip).c_str());
        std::fflush(stdout);
        if (clock && (result == 0 || result == cl::kResultLate)) {
            uint32_t low = session.Query(cl::kQueryOnset, 0, g.Next());
            // The presentation lies moments before now, far within the 71
            // minutes that 32 bits of microseconds span.
            int64_t local_us = cl::LocalMicrosOf(low, *clock, cl::WallClockMicros());
            std::printf("%s: presented at %s local time (+/- %.1f us), %s after %s\n", name.c_str(),
                        FormatLocalTime(local_us).c_str(), clock->uncertainty_us,
                        Ms(local_us - (moment ? *moment : sent)).c_str(),
                        moment ? "the requested moment" : "the request was sent");
            std::fflush(stdout);
        }
        CheckResult(result, name);
    }
    return 0;
}

int CmdFill(const Globals& g, const std::string& colour_text) {
    std::optional<uint32_t> colour = cl::ParseColour(colour_text);
    if (!colour)
        throw cl::ClientError(cl::ErrorKind::Usage,
                              "a colour is #RRGGBB or 0xRRGGBB, not \"" + colour_text + "\"");
    cl::ImageSession session = OpenSession(g);
    auto t0 = cl::Clock::now();
    uint32_t result = session.Fill(*colour, g.Next());
    int64_t trip = std::chrono::duration_cast<std::chrono::microseconds>(cl::Clock::now() - t0).count();
    std::printf("fill #%06X: result %u (%s), round trip %s\n", *colour, result,
                cl::DescribeReply(result, cl::Service::Image).c_str(), Ms(trip).c_str());
    std::fflush(stdout);
    CheckResult(result, "fill");
    return 0;
}

int CmdQuery(const Globals& g, const std::string& what) {
    uint32_t a = 0;
    if (what == "width") a = cl::kQueryWidth;
    else if (what == "height") a = cl::kQueryHeight;
    else if (what == "frames") a = cl::kQueryFrames;
    else if (what == "onset") a = cl::kQueryOnset;
    else if (what == "refresh") a = cl::kQueryRefresh;
    else if (what == "late") a = cl::kQueryLate;
    if (a == 0)
        throw cl::ClientError(cl::ErrorKind::Usage,
                              "query takes width, height, frames, onset, refresh or late, not \"" + what + "\"");
    cl::ImageSession session = OpenSession(g);
    uint32_t value = session.Query(a, 0, g.Next());
    std::printf("%u\n", value);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Shows pictures on the server's display and talks to its viewer."};
    app.footer(kFooter);
    app.set_version_flag("--version", "ovclient " PLUGHOST_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    Globals g;
    uint32_t key_value = 0;
    app.add_option("-c,--connect", g.connect, "Server address: host:port, [v6]:port or unix:/path")
        ->type_name("ADDR")
        ->capture_default_str();
    auto* key_opt = app.add_option("-k,--key", key_value, "Present key K (not stored)")
                        ->type_name("K")
                        ->check(CLI::Range(1u, 2147483647u));
    auto* key_file_opt =
        app.add_option("--key-file", g.key_file,
                       "Key file to use instead of the one for this address under "
                       "$XDG_STATE_HOME/ovclient or ~/.local/state/ovclient")
            ->type_name("F");
    key_opt->excludes(key_file_opt);
    app.add_option("-t,--timeout", g.timeout_s, "Seconds to wait for the connection and for each answer")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);

    unsigned samples = 16;
    auto* clock = app.add_subcommand(
        "clock", "Measure the server clock's offset from the local clock with time-stamp exchanges");
    clock->add_option("-n,--samples", samples, "Number of exchanges")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));

    ShowOptions show_opts;
    auto* show = app.add_subcommand(
        "show",
        "Show pictures (PNG, JPEG, BMP, GIF, PPM/PGM; '-' is standard input) one after another, "
        "each once the previous one was shown");
    show->add_option("IMAGE", show_opts.images, "Pictures to show")->required();
    show->add_option("--at", show_opts.at, "Top-left corner on the screen")
        ->type_name("X,Y")
        ->capture_default_str();
    show->add_option("--interval", show_opts.interval_ms,
                     "Pause between pictures (with --present-at: the time between their moments)")
        ->type_name("MS");
    show->add_option("--raw", show_opts.raw, "The files hold raw RGB of W x H pixels")
        ->type_name("W H")
        ->expected(2)
        ->allow_extra_args(false);
    show->add_flag("--timing", show_opts.timing,
                   "Print when each picture was presented, on the local clock, with its uncertainty");
    show->add_option("--present-at", show_opts.present_at,
                     "Present the first picture at this local moment (+250ms, +1.5s, @EPOCH_SECONDS, "
                     "[YYYY-MM-DD ]HH:MM:SS[.FRACTION]), each further one --interval later; result "
                     "1003 when a picture came more than one refresh late")
        ->type_name("TIME");
    show->add_option("--clock-samples", show_opts.clock_samples,
                     "Time-stamp exchanges at connect for --timing and --present-at")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));

    std::string colour;
    auto* fill = app.add_subcommand("fill", "Fill the screen with one colour");
    fill->add_option("COLOR", colour, "#RRGGBB or 0xRRGGBB")->required();

    std::string what;
    auto* query = app.add_subcommand("query", "Ask the viewer: width, height, frames (presented since "
                                              "it started), onset (server time of the last "
                                              "presentation in microseconds, low 32 bits), refresh "
                                              "(the display's refresh period in microseconds, 0 when "
                                              "unknown) or late (presentations that missed a refresh)");
    query->add_option("WHAT", what, "width, height, frames, onset, refresh or late")
        ->required()
        ->check(CLI::IsMember({"width", "height", "frames", "onset", "refresh", "late"}));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : cl::exit_status::kUsage;
    }
    if (*key_opt) g.key = key_value;

    ::signal(SIGPIPE, SIG_IGN);
    try {
        if (*clock) return CmdClock(g, samples);
        if (*show) return CmdShow(g, show_opts);
        if (*fill) return CmdFill(g, colour);
        if (*query) return CmdQuery(g, what);
        return cl::exit_status::kUsage;
    } catch (const cl::ClientError& e) {
        Note(e.what());
        return cl::ExitStatusFor(e);
    } catch (const std::exception& e) {
        Note(e.what());
        return cl::exit_status::kUnexpected;
    }
}
