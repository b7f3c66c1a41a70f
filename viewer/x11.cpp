#include "x11.h"
// Before Xlib, whose macros (Status) would clash with it.
#include "viewer.h"

#include <unistd.h>

#include <cmath>

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

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

Display* Dpy(void* display) { return static_cast<Display*>(display); }

// hTotal x vTotal pixel clocks make one refresh; interlaced modes show half
// the lines per refresh, doubled-scan modes every line twice.
uint32_t RefreshPeriod(const XRRModeInfo& m)
{
    double lines = m.vTotal;
    if (m.modeFlags & RR_DoubleScan)
        lines *= 2;
    if (m.modeFlags & RR_Interlace)
        lines /= 2;
    if (m.dotClock == 0 || m.hTotal == 0 || lines <= 0)
        return 0;
    return static_cast<uint32_t>(std::lround(double(m.hTotal) * lines * 1e6 / double(m.dotClock)));
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

unsigned long X11WindowOf(SDL_Window* window)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return 0;
    return info.info.x11.window;
}

int X11ConnectionFd(void* display)
{
    return display ? ConnectionNumber(Dpy(display)) : -1;
}

void X11ExitOnConnectionLoss()
{
    XSetIOErrorHandler(OnConnectionLoss);
}

void X11Sync(void* display)
{
    if (display)
        XSync(Dpy(display), False);
}

std::optional<ScreenRect> X11WindowArea(void* display, unsigned long window)
{
    if (!display || !window)
        return std::nullopt;
    XWindowAttributes a{};
    if (!XGetWindowAttributes(Dpy(display), window, &a))
        return std::nullopt;
    int x = 0, y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(Dpy(display), window, a.root, 0, 0, &x, &y, &child))
        return std::nullopt;
    return ScreenRect{x, y, a.width, a.height};
}

std::optional<Monitor> X11MonitorAt(void* display, int x, int y)
{
    if (!display)
        return std::nullopt;
    Display* d = Dpy(display);
    int event_base = 0, error_base = 0;
    if (!XRRQueryExtension(d, &event_base, &error_base))
        return std::nullopt;
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!res)
        return std::nullopt;
    std::optional<Monitor> found;
    bool at_origin = false;
    for (int i = 0; i < res->ncrtc && !at_origin; ++i) {
        XRRCrtcInfo* c = XRRGetCrtcInfo(d, res, res->crtcs[i]);
        if (!c)
            continue;
        const bool holds = c->mode != None && c->width > 0 && c->height > 0 && x >= c->x &&
                           y >= c->y && x < c->x + int(c->width) && y < c->y + int(c->height);
        if (holds && (!found || (c->x == x && c->y == y))) {
            Monitor m;
            m.area = ScreenRect{c->x, c->y, int(c->width), int(c->height)};
            for (int k = 0; k < res->nmode; ++k)
                if (res->modes[k].id == c->mode)
                    m.refresh_us = RefreshPeriod(res->modes[k]);
            found = m;
            at_origin = c->x == x && c->y == y;
        }
        XRRFreeCrtcInfo(c);
    }
    XRRFreeScreenResources(res);
    return found;
}

void X11WatchScreenChanges(void* display)
{
    if (!display)
        return;
    Display* d = Dpy(display);
    const Window root = DefaultRootWindow(d);
    XWindowAttributes a{};
    if (XGetWindowAttributes(d, root, &a))
        XSelectInput(d, root, a.your_event_mask | StructureNotifyMask);
    int event_base = 0, error_base = 0;
    // XRRSelectInput replaces this connection's XRandR mask for the root
    // window: the output changes SDL watches for stay in it.
    if (XRRQueryExtension(d, &event_base, &error_base))
        XRRSelectInput(d, root,
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
}

bool X11IsScreenChange(void* display, const SDL_SysWMmsg* msg)
{
    if (!display || !msg || msg->subsystem != SDL_SYSWM_X11)
        return false;
    Display* d = Dpy(display);
    const XEvent& e = msg->msg.x11.event;
    if (e.type == ConfigureNotify)
        return e.xconfigure.window == DefaultRootWindow(d);
    int event_base = 0, error_base = 0;
    if (!XRRQueryExtension(d, &event_base, &error_base))
        return false;
    return e.type == event_base + RRScreenChangeNotify || e.type == event_base + RRNotify;
}

void X11MoveResize(void* display, unsigned long window, const ScreenRect& area)
{
    if (display && window && area.width > 0 && area.height > 0)
        XMoveResizeWindow(Dpy(display), window, area.x, area.y, unsigned(area.width),
                          unsigned(area.height));
}

} // namespace orvane
