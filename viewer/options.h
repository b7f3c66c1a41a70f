// Command line and environment of orvane.exe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <spdlog/common.h>

namespace orvane {

inline constexpr const char* kUsage =
    "usage: orvane.exe [-l LEVEL] [-s SIZE] [-h|--help] [--version]";

struct Options {
    int log_level = 3;    // the host's level: 1 fatal .. 5 debug
    int64_t log_size = 0; // the host's maximum log size; accepted, unused
    bool help = false;
    bool version = false;
};

// Parses "-l LEVEL" and "-s SIZE" (also "-lLEVEL", "-sSIZE"), "-h"/"--help"
// and "--version".
// On failure returns nullopt and says why in *error.
std::optional<Options> ParseArgs(int argc, const char* const* argv, std::string* error);

// Host level to spdlog level: 0 or below off, 1 critical, 2 error, 3 warn,
// 4 info, 5 debug, above 5 trace.
spdlog::level::level_enum LogLevelFor(int host_level);

struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};

inline constexpr int kMaxSide = 16384;

// "WxH" with 1 <= W, H <= kMaxSide; nullopt otherwise.
std::optional<Size> ParseSize(std::string_view text);

enum class BackendKind { Auto, Window, Headless };

struct Settings {
    BackendKind backend = BackendKind::Auto;
    std::optional<Size> window; // ORVANE_WINDOW; fullscreen when unset
    Size canvas{1920, 1080};    // ORVANE_CANVAS, headless only
    std::string snapshot_dir;   // ORVANE_SNAPSHOT_DIR, headless only
    int display = 0;            // ORVANE_DISPLAY: SDL's display index, window only
    bool vsync = true;          // ORVANE_VSYNC: 0 off, 1 on; window only
    bool display_named = false; // DISPLAY or WAYLAND_DISPLAY set
};

using GetEnv = std::function<const char*(const char*)>;

// Reads the ORVANE_* variables. On a malformed value returns nullopt and
// says which variable and why in *error.
std::optional<Settings> ReadSettings(const GetEnv& getenv, std::string* error);

// The backend to run: the forced one, else a window when a display is named.
BackendKind ChooseBackend(const Settings& s);

} // namespace orvane
