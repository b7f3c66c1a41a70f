#include "support/xserver.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace testsupport {
namespace {

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

} // namespace

Xvfb::Xvfb(const std::string &program, const std::string &logFile, const std::string &screen)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::string error;
    proc_ = start({program, "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp"}, Env{}, false, logFile,
                  &error, fds[1]);
    ::close(fds[1]);
    std::string text;
    const bool got = proc_.pid > 0 && readUntil(fds[0], "\n", &text, kWaitMs);
    ::close(fds[0]);
    if (!got)
        return;
    const std::string number = text.substr(0, text.find('\n'));
    const std::string socket = "/tmp/.X11-unix/X" + number;
    if (waitFor([&] { return std::filesystem::exists(socket); }, kWaitMs))
        display_ = ":" + number;
}

void Xvfb::stop() { terminate(proc_); }

bool windowBackendBuilt(const std::string &viewer)
{
    RunResult r = run({viewer, "-h"}, Env{}, kWaitMs);
    return r.code == 0 && r.err.find("backends: window") != std::string::npos;
}

std::optional<Rgb> screenshot(const std::string &xwd, const std::string &display, const Env &env, std::string *why)
{
    RunResult r = run({xwd, "-root", "-silent", "-display", display}, env, kWaitMs);
    if (r.code != 0) {
        *why = "xwd ended with " + std::to_string(r.code) + ": " + r.err;
        return std::nullopt;
    }
    return parseXwd(r.out, why);
}

Rgb crop(const Rgb &picture, int x, int y, int width, int height)
{
    Rgb part;
    part.width = width;
    part.height = height;
    for (int row = 0; row < height; ++row) {
        const auto from = picture.pixels.begin() + (static_cast<long>(y + row) * picture.width + x) * 3;
        part.pixels.insert(part.pixels.end(), from, from + static_cast<long>(width) * 3);
    }
    return part;
}

bool useMode(const std::string &xrandr, const std::string &display, const Env &env, const std::string &mode,
             const std::string &modeline, std::string *why)
{
    const auto xr = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {xrandr, "-display", display});
        RunResult r = run(args, env, kWaitMs);
        if (r.code != 0)
            *why = "xrandr ended with " + std::to_string(r.code) + ": " + r.err;
        return r;
    };
    // "NAME connected ..." names the output; mode lines follow, indented.
    RunResult list = xr({"--query"});
    if (list.code != 0)
        return false;
    std::string output;
    bool known = false;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        const auto w = words(line);
        if (w.size() >= 2 && w[1] == "connected" && output.empty())
            output = w[0];
        else if (!w.empty() && line[0] == ' ' && w[0] == mode)
            known = true;
    }
    if (output.empty()) {
        *why = "xrandr lists no connected output: " + list.out;
        return false;
    }
    if (!known) {
        std::vector<std::string> create{"--newmode", mode};
        for (const auto &w : words(modeline))
            create.push_back(w);
        if (xr(create).code != 0 || xr({"--addmode", output, mode}).code != 0)
            return false;
    }
    return xr({"--output", output, "--mode", mode}).code == 0;
}

} // namespace testsupport
