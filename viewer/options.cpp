#include "options.h"

#include <charconv>
#include <cstring>

namespace orvane {
namespace {

template <typename T> std::optional<T> ParseInteger(std::string_view text)
{
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

bool NonEmpty(const char* s) { return s != nullptr && *s != '\0'; }

} // namespace

std::optional<Options> ParseArgs(int argc, const char* const* argv, std::string* error)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        if (arg == "--version") {
            o.version = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-' || (arg[1] != 'l' && arg[1] != 's')) {
            *error = "unknown argument \"" + std::string(arg) + "\"";
            return std::nullopt;
        }
        const char opt = arg[1];
        std::string_view value;
        if (arg.size() > 2) {
            value = arg.substr(2);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            *error = std::string("option -") + opt + " needs a value";
            return std::nullopt;
        }
        if (opt == 'l') {
            const auto level = ParseInteger<int>(value);
            if (!level) {
                *error = "log level \"" + std::string(value) + "\" is not an integer";
                return std::nullopt;
            }
            o.log_level = *level;
        } else {
            const auto size = ParseInteger<int64_t>(value);
            if (!size) {
                *error = "log size \"" + std::string(value) + "\" is not an integer";
                return std::nullopt;
            }
            o.log_size = *size;
        }
    }
    return o;
}

spdlog::level::level_enum LogLevelFor(int host_level)
{
    switch (host_level) {
    case 1:
        return spdlog::level::critical;
    case 2:
        return spdlog::level::err;
    case 3:
        return spdlog::level::warn;
    case 4:
        return spdlog::level::info;
    case 5:
        return spdlog::level::debug;
    default:
        return host_level <= 0 ? spdlog::level::off : spdlog::level::trace;
    }
}

std::optional<Size> ParseSize(std::string_view text)
{
    const size_t x = text.find('x');
    if (x == std::string_view::npos)
        return std::nullopt;
    const auto w = ParseInteger<int>(text.substr(0, x));
    const auto h = ParseInteger<int>(text.substr(x + 1));
    if (!w || !h || *w < 1 || *h < 1 || *w > kMaxSide || *h > kMaxSide)
        return std::nullopt;
    return Size{*w, *h};
}

std::optional<Settings> ReadSettings(const GetEnv& getenv, std::string* error)
{
    Settings s;
    const std::string side_range = "1.." + std::to_string(kMaxSide);
    if (const char* b = getenv("ORVANE_BACKEND"); NonEmpty(b)) {
        if (std::strcmp(b, "window") == 0) {
            s.backend = BackendKind::Window;
        } else if (std::strcmp(b, "headless") == 0) {
            s.backend = BackendKind::Headless;
        } else {
            *error = std::string("ORVANE_BACKEND=\"") + b + "\": expected window or headless";
            return std::nullopt;
        }
    }
    if (const char* w = getenv("ORVANE_WINDOW"); NonEmpty(w)) {
        s.window = ParseSize(w);
        if (!s.window) {
            *error = std::string("ORVANE_WINDOW=\"") + w + "\": expected WxH, each " + side_range;
            return std::nullopt;
        }
    }
    if (const char* c = getenv("ORVANE_CANVAS"); NonEmpty(c)) {
        const auto canvas = ParseSize(c);
        if (!canvas) {
            *error = std::string("ORVANE_CANVAS=\"") + c + "\": expected WxH, each " + side_range;
            return std::nullopt;
        }
        s.canvas = *canvas;
    }
    if (const char* d = getenv("ORVANE_DISPLAY"); NonEmpty(d)) {
        const auto index = ParseInteger<int>(d);
        if (!index || *index < 0) {
            *error =
                std::string("ORVANE_DISPLAY=\"") + d + "\": expected a display number, 0 or more";
            return std::nullopt;
        }
        s.display = *index;
    }
    if (const char* v = getenv("ORVANE_VSYNC"); NonEmpty(v)) {
        if (std::strcmp(v, "0") != 0 && std::strcmp(v, "1") != 0) {
            *error = std::string("ORVANE_VSYNC=\"") + v + "\": expected 0 or 1";
            return std::nullopt;
        }
        s.vsync = v[0] == '1';
    }
    if (const char* d = getenv("ORVANE_SNAPSHOT_DIR"); NonEmpty(d))
        s.snapshot_dir = d;
    s.display_named = NonEmpty(getenv("DISPLAY")) || NonEmpty(getenv("WAYLAND_DISPLAY"));
    return s;
}

BackendKind ChooseBackend(const Settings& s)
{
    if (s.backend != BackendKind::Auto)
        return s.backend;
    return s.display_named ? BackendKind::Window : BackendKind::Headless;
}

} // namespace orvane
