// The few X11 calls the window backend needs, kept apart so that Xlib's
// macros (Status, None, Bool, ...) stay out of the rest of the viewer.
#pragma once

struct SDL_Window;

namespace orvane {

// The X connection behind an SDL window, or null when it is not on X11.
void* X11DisplayOf(SDL_Window* window);

// The descriptor of that connection, for poll().
int X11ConnectionFd(void* display);

// A lost X connection ends the viewer with exit status 1 (restart).
void X11ExitOnConnectionLoss();

// Waits until the X server has carried out every request sent so far.
void X11Sync(void* display);

} // namespace orvane
