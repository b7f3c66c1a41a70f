// The two places a canvas can live. Each Run function serves frames from
// in_fd and answers on out_fd until the viewer stops, and returns the exit
// status (viewer.h).
#pragma once

#include "options.h"

namespace orvane {

// Logged once at start-up (warn level) by a headless viewer that has no
// display, so that unclutter's failures in the same log are explained.
inline constexpr const char* kHeadlessWithoutDisplay =
    "no display (DISPLAY and WAYLAND_DISPLAY are unset): the headless viewer runs, pictures "
    "are kept in memory and not shown; unclutter needs a display, so its start-up failures "
    "in this log are expected";

// Canvas in memory; PNG snapshots when settings.snapshot_dir is set.
int RunHeadless(const Settings& settings, int in_fd, int out_fd);

#if ORVANE_WINDOW_BACKEND
// An SDL2 window covering the chosen display, unless settings.window gives a size.
int RunWindow(const Settings& settings, int in_fd, int out_fd);
#endif

} // namespace orvane
