// An X server of the test's own for the window end-to-end tests and the
// viewer benchmark: Xvfb without a window manager, screenshots of it taken
// with xwd, and screen mode changes made with xrandr.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/process.h"

namespace testsupport {

// Xvfb on a display number it picks itself (-displayfd: written once the
// server accepts connections), so parallel tests never collide. display()
// is empty when it did not come up.
class Xvfb {
public:
    Xvfb(const std::string &program, const std::string &logFile, const std::string &screen = "640x480x24");
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;
    // SIGTERM, a bounded wait, SIGKILL as a last resort.
    void stop();
    const std::string &display() const { return display_; }
    pid_t pid() const { return proc_.pid; }

private:
    Process proc_;
    std::string display_;
};

// Whether the viewer at this path was built with the window backend.
bool windowBackendBuilt(const std::string &viewer);

// The whole screen as xwd dumps it; nullopt (why in *why) on failure.
std::optional<Rgb> screenshot(const std::string &xwd, const std::string &display, const Env &env, std::string *why);

// The part of a picture at (x, y), width x height (inside it).
Rgb crop(const Rgb &picture, int x, int y, int width, int height);

// Switches the screen's output to the mode named `mode` with xrandr. A mode
// the server does not know yet is first made from `modeline` (pixel clock in
// MHz, then the horizontal and vertical timings, as xrandr --newmode takes
// them). False (why in *why) on failure.
bool useMode(const std::string &xrandr, const std::string &display, const Env &env, const std::string &mode,
             const std::string &modeline, std::string *why);

} // namespace testsupport
