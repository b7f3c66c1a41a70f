// The two places a canvas can live. Each Run function serves frames from
// in_fd and answers on out_fd until the viewer stops, and returns the exit
// status (viewer.h).
#pragma once

#include "options.h"

namespace orvane {

// Canvas in memory; PNG snapshots when settings.snapshot_dir is set.
int RunHeadless(const Settings& settings, int in_fd, int out_fd);

// An SDL2 window, fullscreen unless settings.window gives a size.
int RunWindow(const Settings& settings, int in_fd, int out_fd);

} // namespace orvane
