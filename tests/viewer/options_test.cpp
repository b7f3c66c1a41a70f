// Command line and environment of the viewer.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace orvane {
namespace {

std::optional<Options> Parse(std::vector<const char*> args, std::string* error)
{
    args.insert(args.begin(), "orvane.exe");
    return ParseArgs(int(args.size()), args.data(), error);
}

TEST(ParseArgs, AcceptsWhatThePlugInPasses)
{
    std::string error;
    auto o = Parse({"-l", "5", "-s", "10485760"}, &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->log_level, 5);
    EXPECT_EQ(o->log_size, 10485760);
    EXPECT_FALSE(o->help);

    o = Parse({"-l2", "-s9223372036854775807"}, &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->log_level, 2);
    EXPECT_EQ(o->log_size, INT64_MAX);

    o = Parse({"-s", "-1", "-l", "0"}, &error); // any integer the host formats
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->log_level, 0);
    EXPECT_EQ(o->log_size, -1);

    o = Parse({}, &error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->log_level, 3);

    o = Parse({"--help"}, &error);
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->help);
    EXPECT_FALSE(o->version);

    o = Parse({"--version"}, &error);
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->version);
    EXPECT_FALSE(o->help);
}

TEST(ParseArgs, RejectsAnythingElseWithAReason)
{
    const std::map<std::vector<const char*>, std::string> cases = {
        {{"-l"}, "option -l needs a value"},
        {{"-s"}, "option -s needs a value"},
        {{"-l", "x"}, "log level \"x\" is not an integer"},
        {{"-l", "5x"}, "log level \"5x\" is not an integer"},
        {{"-l", ""}, "log level \"\" is not an integer"},
        {{"-l", "99999999999"}, "log level \"99999999999\" is not an integer"},
        {{"-s", "1.5"}, "log size \"1.5\" is not an integer"},
        {{"-s", "99999999999999999999"}, "log size \"99999999999999999999\" is not an integer"},
        {{"-q"}, "unknown argument \"-q\""},
        {{"-"}, "unknown argument \"-\""},
        {{"file"}, "unknown argument \"file\""},
        {{"-l", "3", "--level"}, "unknown argument \"--level\""},
    };
    for (const auto& [args, message] : cases) {
        std::string error;
        EXPECT_FALSE(Parse(args, &error)) << message;
        EXPECT_EQ(error, message);
    }
}

TEST(LogLevelFor, MapsHostLevels)
{
    EXPECT_EQ(LogLevelFor(-3), spdlog::level::off);
    EXPECT_EQ(LogLevelFor(0), spdlog::level::off);
    EXPECT_EQ(LogLevelFor(1), spdlog::level::critical);
    EXPECT_EQ(LogLevelFor(2), spdlog::level::err);
    EXPECT_EQ(LogLevelFor(3), spdlog::level::warn);
    EXPECT_EQ(LogLevelFor(4), spdlog::level::info);
    EXPECT_EQ(LogLevelFor(5), spdlog::level::debug);
    EXPECT_EQ(LogLevelFor(6), spdlog::level::trace);
}

TEST(ParseSize, WidthByHeightWithinLimits)
{
    EXPECT_EQ(ParseSize("640x480"), (Size{640, 480}));
    EXPECT_EQ(ParseSize("1x1"), (Size{1, 1}));
    EXPECT_EQ(ParseSize("16384x16384"), (Size{16384, 16384}));
    for (const char* bad :
         {"", "x", "640", "640x", "x480", "0x480", "640x0", "-1x5", "16385x1", "1x16385", "640X480",
          "640x480x", " 640x480", "640x480 ", "+640x480", "6 40x480", "99999999999x1"})
        EXPECT_FALSE(ParseSize(bad)) << '"' << bad << '"';
}

GetEnv From(std::map<std::string, std::string> vars)
{
    return [vars = std::move(vars)](const char* name) -> const char* {
        const auto it = vars.find(name);
        return it == vars.end() ? nullptr : it->second.c_str();
    };
}

TEST(ReadSettings, DefaultsAndEachVariable)
{
    std::string error;
    auto s = ReadSettings(From({}), &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->backend, BackendKind::Auto);
    EXPECT_FALSE(s->window);
    EXPECT_EQ(s->canvas, (Size{1920, 1080}));
    EXPECT_EQ(s->snapshot_dir, "");
    EXPECT_EQ(s->display, 0);
    EXPECT_TRUE(s->vsync);
    EXPECT_FALSE(s->display_named);
    EXPECT_EQ(ChooseBackend(*s), BackendKind::Headless);

    s = ReadSettings(From({{"ORVANE_BACKEND", "headless"},
                           {"ORVANE_WINDOW", "800x600"},
                           {"ORVANE_CANVAS", "320x240"},
                           {"ORVANE_SNAPSHOT_DIR", "/tmp/x"},
                           {"ORVANE_DISPLAY", "2"},
                           {"ORVANE_VSYNC", "0"},
                           {"DISPLAY", ":3"}}),
                     &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->backend, BackendKind::Headless);
    EXPECT_EQ(s->window, (Size{800, 600}));
    EXPECT_EQ(s->canvas, (Size{320, 240}));
    EXPECT_EQ(s->snapshot_dir, "/tmp/x");
    EXPECT_EQ(s->display, 2);
    EXPECT_FALSE(s->vsync);
    EXPECT_TRUE(s->display_named);
    EXPECT_EQ(ChooseBackend(*s), BackendKind::Headless); // forced beats the display

    s = ReadSettings(From({{"ORVANE_BACKEND", "window"}}), &error);
    ASSERT_TRUE(s);
    EXPECT_EQ(ChooseBackend(*s), BackendKind::Window); // forced without a display

    // Empty values count as unset.
    s = ReadSettings(From({{"ORVANE_BACKEND", ""}, {"ORVANE_CANVAS", ""}, {"DISPLAY", ""}}),
                     &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(ChooseBackend(*s), BackendKind::Headless);
}

TEST(ReadSettings, ANamedDisplayMeansAWindow)
{
    std::string error;
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const auto s = ReadSettings(From({{var, "x"}}), &error);
        ASSERT_TRUE(s);
        EXPECT_EQ(ChooseBackend(*s), BackendKind::Window) << var;
    }
}

TEST(ReadSettings, NamesTheBadVariable)
{
    const std::map<std::string, std::string> cases = {
        {"ORVANE_BACKEND", "ORVANE_BACKEND=\"sdl\": expected window or headless"},
        {"ORVANE_WINDOW", "ORVANE_WINDOW=\"sdl\": expected WxH, each 1..16384"},
        {"ORVANE_CANVAS", "ORVANE_CANVAS=\"sdl\": expected WxH, each 1..16384"},
    };
    for (const auto& [var, message] : cases) {
        std::string error;
        EXPECT_FALSE(ReadSettings(From({{var, "sdl"}}), &error));
        EXPECT_EQ(error, message);
    }
    const std::map<std::pair<std::string, std::string>, std::string> values = {
        {{"ORVANE_DISPLAY", "-1"}, "ORVANE_DISPLAY=\"-1\": expected a display number, 0 or more"},
        {{"ORVANE_DISPLAY", "+1"}, "ORVANE_DISPLAY=\"+1\": expected a display number, 0 or more"},
        {{"ORVANE_DISPLAY", "1x"}, "ORVANE_DISPLAY=\"1x\": expected a display number, 0 or more"},
        {{"ORVANE_VSYNC", "on"}, "ORVANE_VSYNC=\"on\": expected 0 or 1"},
        {{"ORVANE_VSYNC", "2"}, "ORVANE_VSYNC=\"2\": expected 0 or 1"},
    };
    for (const auto& [setting, message] : values) {
        std::string error;
        EXPECT_FALSE(ReadSettings(From({{setting.first, setting.second}}), &error));
        EXPECT_EQ(error, message);
    }
}

} // namespace
} // namespace orvane
