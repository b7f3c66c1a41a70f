#include "x11.h"
// Before Xlib, whose macros (Status) would clash with it.
#include "viewer.h"

#include <unistd.h>

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>

#include <spdlog/spdlog.h>

namespace orvane {
namespace {

int OnConnectionLoss(Display*)
{
    spdlog::error("the connection to the X display was lost");
    spdlog::default_logger()->flush();
    // Xlib must not be used again, and returning would make it exit anyway.
    _exit(kExitRestart);
}

} // namespace

void* X11DisplayOf(SDL_Window* window)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return nullptr;
    return info.info.x11.display;
}

int X11ConnectionFd(void* display)
{
    return display ? ConnectionNumber(static_cast<Display*>(display)) : -1;
}

void X11ExitOnConnectionLoss()
{
    XSetIOErrorHandler(OnConnectionLoss);
}

void X11Sync(void* display)
{
    if (display)
        XSync(static_cast<Display*>(display), False);
}

} // namespace orvane
