// The few X11 calls the window backend needs, kept apart so that Xlib's
// macros (Status, None, Bool, ...) stay out of the rest of the viewer.
#pragma once

#include <cstdint>
#include <optional>

struct SDL_Window;
struct SDL_SysWMmsg;

namespace orvane {

struct ScreenRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ScreenRect&) const = default;
};

// One monitor: an active XRandR CRTC, its area on the screen and the refresh
// period of its mode in microseconds (0 when the mode tells none).
struct Monitor {
    ScreenRect area;
    uint32_t refresh_us = 0;
};

// The X connection behind an SDL window, or null when it is not on X11.
void* X11DisplayOf(SDL_Window* window);
// The X window behind an SDL window, 0 when it is not on X11.
unsigned long X11WindowOf(SDL_Window* window);

// The descriptor of that connection, for poll().
int X11ConnectionFd(void* display);

// A lost X connection ends the viewer with exit status 1 (restart).
void X11ExitOnConnectionLoss();

// Waits until the X server has carried out every request sent so far.
void X11Sync(void* display);

// The window's size and its position on the screen, as the X server has them.
std::optional<ScreenRect> X11WindowArea(void* display, unsigned long window);

// The monitor whose area holds (x, y), one whose area starts there first;
// nullopt when there is none or XRandR is missing.
std::optional<Monitor> X11MonitorAt(void* display, int x, int y);

// Asks for the events that tell of a change of the screen or its monitors
// (root window ConfigureNotify, XRandR screen, CRTC and output changes),
// keeping what SDL already asked for. They reach SDL_SYSWMEVENT.
void X11WatchScreenChanges(void* display);

// Whether an X event delivered through SDL_SYSWMEVENT is one of those.
bool X11IsScreenChange(void* display, const SDL_SysWMmsg* msg);

// Moves and resizes the window (also a fullscreen one, which SDL would not).
void X11MoveResize(void* display, unsigned long window, const ScreenRect& area);

} // namespace orvane
