#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <SDL.h>
#include <spdlog/spdlog.h>

#include "backends.h"
#include "pixels.h"
#include "viewer.h"
#include "x11.h"

namespace orvane {
namespace {

// Without the X connection to wait on, SDL is pumped this often while idle.
constexpr int64_t kFallbackPollUs = 100000;
// With it, a wake-up now and then still lets SDL keep the screen saver off.
constexpr int kIdlePollMs = 10000;

struct SdlDeleter {
    void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
    void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
using TexturePtr = std::unique_ptr<SDL_Texture, SdlDeleter>;

// The smallest rectangle holding both; an empty one holds nothing.
SDL_Rect Union(const SDL_Rect& a, const SDL_Rect& b)
{
    if (a.w <= 0 || a.h <= 0)
        return b;
    SDL_Rect u;
    SDL_UnionRect(&a, &b, &u);
    return u;
}

// The canvas lives in memory (pixels_); two textures carry it to the
// window. shown_ always holds what was last presented. A picture due at a
// later moment is uploaded whole into spare_ and rendered ahead (Prepare),
// while uncovered parts of the window are still redrawn from shown_; at the
// moment only the swap is left, and the two textures trade places.
class WindowCanvas final : public Canvas {
public:
    // Opens the window; false (logged) when that is impossible.
    bool Open(const Settings& settings)
    {
        const int displays = SDL_GetNumVideoDisplays();
        if (settings.display >= displays) {
            spdlog::critical("display {} does not exist: SDL finds {} display{} (ORVANE_DISPLAY "
                             "counts from 0)",
                             settings.display, displays, displays == 1 ? "" : "s");
            return false;
        }
        SDL_Rect bounds{};
        if (SDL_GetDisplayBounds(settings.display, &bounds) != 0) {
            spdlog::critical("cannot get the bounds of display {}: {}", settings.display,
                             SDL_GetError());
            return false;
        }
        fullscreen_ = !settings.window;
        // Without a window manager the full-screen request has no effect, so
        // the window itself covers the display: its size, at its origin,
        // without a border.
        Uint32 flags = SDL_WINDOW_SHOWN;
        int x = bounds.x, y = bounds.y, w = bounds.w, h = bounds.h;
        if (fullscreen_) {
            flags |= SDL_WINDOW_BORDERLESS | SDL_WINDOW_FULLSCREEN_DESKTOP;
        } else {
            x = y = int(SDL_WINDOWPOS_CENTERED_DISPLAY(settings.display));
            w = settings.window->width;
            h = settings.window->height;
        }
        window_.reset(SDL_CreateWindow("orvane", x, y, w, h, flags));
        if (!window_) {
            spdlog::critical("cannot create the window: {}", SDL_GetError());
            return false;
        }
        SDL_SetHint(SDL_HINT_RENDER_VSYNC, settings.vsync ? "1" : "0");
        // The software renderer's window surface goes to the X server as it
        // is (shared memory) rather than through an OpenGL texture: where
        // OpenGL itself runs in software, that costs a quarter of the time.
        SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        const Uint32 vsync = settings.vsync ? SDL_RENDERER_PRESENTVSYNC : 0;
        renderer_.reset(SDL_CreateRenderer(window_.get(), -1, SDL_RENDERER_ACCELERATED | vsync));
        if (!renderer_)
            renderer_.reset(SDL_CreateRenderer(window_.get(), -1, vsync));
        if (!renderer_) {
            spdlog::critical("cannot create a renderer: {}", SDL_GetError());
            return false;
        }
        SDL_RendererInfo info{};
        SDL_GetRendererInfo(renderer_.get(), &info);
        // The software renderer claims vsync but has no way to wait for the
        // refresh: X shared-memory images are shown when the server gets them.
        vsync_ = settings.vsync && (info.flags & SDL_RENDERER_PRESENTVSYNC) &&
                 !(info.flags & SDL_RENDERER_SOFTWARE);
        display_index_ = settings.display;
        display_ = X11DisplayOf(window_.get());
        xwindow_ = X11WindowOf(window_.get());
        if (display_) {
            X11WatchScreenChanges(display_);
            SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
        }
        // SDL has waited for the window to be mapped; what a window manager
        // did to it since is in the events.
        X11Sync(display_);
        SDL_PumpEvents();
        const auto size = DrawableSize();
        if (!size)
            return false;
        try {
            pixels_.emplace(*size);
        } catch (const std::bad_alloc&) {
            spdlog::critical("no memory for a {}x{} canvas", size->width, size->height);
            return false;
        }
        shown_ = NewTexture();
        if (!shown_)
            return false;
        dirty_ = SDL_Rect{0, 0, size->width, size->height}; // a new texture holds anything
        if (fullscreen_)
            SDL_ShowCursor(SDL_DISABLE);
        UpdateMonitor(false);
        const auto area = X11WindowArea(display_, xwindow_);
        spdlog::info("window {}x{} at ({}, {}) on display {} ({}x{} at {},{}){}, renderer {}, "
                     "vsync {}, refresh period {} us, {}",
                     size->width, size->height, area ? area->x : x, area ? area->y : y,
                     settings.display, bounds.w, bounds.h, bounds.x, bounds.y,
                     fullscreen_ ? " covering it" : "", info.name ? info.name : "?",
                     vsync_           ? "on"
                     : settings.vsync ? "not available"
                                      : "off",
                     refresh_us_,
                     display_ ? "waiting on the X connection" : "polling SDL while idle");
        if (fullscreen_ && area && (area->x != bounds.x || area->y != bounds.y))
            spdlog::warn("the window is at ({}, {}), not at the display's origin ({}, {}): "
                         "pictures appear shifted by the difference",
                         area->x, area->y, bounds.x, bounds.y);
        return Present().has_value();
    }

    int XConnectionFd() const { return X11ConnectionFd(display_); }

    int Width() const override { return pixels_->width(); }
    int Height() const override { return pixels_->height(); }

    void Fill(uint32_t rgb) override
    {
        pixels_->Fill(rgb);
        dirty_ = SDL_Rect{0, 0, Width(), Height()};
    }

    void Draw(const Clip& c, const uint8_t* src, size_t src_pitch) override
    {
        pixels_->Draw(c, src, src_pitch);
        dirty_ = Union(dirty_, SDL_Rect{c.dst_x, c.dst_y, c.width, c.height});
    }

    bool Prepare() override
    {
        if (!spare_)
            spare_ = NewTexture();
        if (failed_ || !spare_ || !Upload(spare_.get(), SDL_Rect{0, 0, Width(), Height()}) ||
            !Render(spare_.get()))
            return false;
        prepared_ = true;
        return true;
    }

    std::optional<int64_t> Present() override
    {
        if (failed_)
            return std::nullopt;
        if (!prepared_ &&
            ((dirty_.w > 0 && !Upload(shown_.get(), dirty_)) || !Render(shown_.get())))
            return std::nullopt;
        SDL_RenderPresent(renderer_.get());
        const int64_t onset = Now();
        // Answer only once the X server has the frame.
        X11Sync(display_);
        if (prepared_)
            std::swap(shown_, spare_);
        prepared_ = false;
        dirty_ = SDL_Rect{};
        return onset;
    }

    bool Idle(int64_t micros) override
    {
        const int fd = XConnectionFd();
        const int64_t wait = fd >= 0 ? micros : std::min(micros, kFallbackPollUs);
        const timespec timeout{static_cast<time_t>(wait / 1000000),
                               static_cast<long>(wait % 1000000) * 1000};
        pollfd p{fd, POLLIN, 0};
        if (ppoll(&p, fd >= 0 ? 1 : 0, &timeout, nullptr) < 0 && errno != EINTR) {
            spdlog::error("poll failed: {}", std::strerror(errno));
            return false;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            SDL_PumpEvents(); // lets Xlib see the loss and exit through its handler
            spdlog::error("the connection to the X display was lost");
            return false;
        }
        if (const auto status = HandleEvents()) {
            spdlog::error("the window went away while a picture waited for its moment");
            return false;
        }
        return true;
    }

    uint32_t RefreshPeriodMicros() const override { return refresh_us_; }
    bool SyncedToRefresh() const override { return vsync_; }

    // Handles every queued SDL event. Returns an exit status when the viewer
    // has to stop.
    std::optional<int> HandleEvents()
    {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            bool ok = true;
            switch (e.type) {
            case SDL_QUIT:
                spdlog::info("the window was closed");
                return kExitEndOfInput;
            case SDL_WINDOWEVENT:
                if (e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
                    ok = AdoptSize();
                else if (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
                         e.window.event == SDL_WINDOWEVENT_RESTORED)
                    ok = Redraw();
                break;
            case SDL_DISPLAYEVENT:
                UpdateMonitor(fullscreen_);
                break;
            case SDL_SYSWMEVENT:
                if (X11IsScreenChange(display_, e.syswm.msg))
                    UpdateMonitor(fullscreen_);
                break;
            case SDL_RENDER_DEVICE_RESET:
                spdlog::error("the render device was reset");
                return kExitRestart;
            default:
                break;
            }
            if (!ok)
                return kExitRestart;
        }
        return std::nullopt;
    }

private:
    // The size of what the window shows, as the X server has it (else as
    // the renderer has it).
    std::optional<Size> DrawableSize()
    {
        Size s;
        if (const auto area = X11WindowArea(display_, xwindow_)) {
            s = Size{area->width, area->height};
        } else if (SDL_GetRendererOutputSize(renderer_.get(), &s.width, &s.height) != 0) {
            spdlog::critical("cannot get the window's size: {}", SDL_GetError());
            return std::nullopt;
        }
        if (s.width <= 0 || s.height <= 0) {
            spdlog::critical("the window has no size ({}x{})", s.width, s.height);
            return std::nullopt;
        }
        return s;
    }

    TexturePtr NewTexture()
    {
        TexturePtr t(SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_RGB24,
                                       SDL_TEXTUREACCESS_STREAMING, Width(), Height()));
        if (!t) {
            spdlog::error("cannot create a {}x{} texture: {}", Width(), Height(), SDL_GetError());
            failed_ = true;
        }
        return t;
    }

    bool Upload(SDL_Texture* t, const SDL_Rect& r)
    {
        if (SDL_UpdateTexture(t, &r, pixels_->at(r.x, r.y), int(pixels_->pitch())) != 0) {
            spdlog::error("cannot update the texture: {}", SDL_GetError());
            failed_ = true;
        }
        return !failed_;
    }

    // Into the back buffer, pixel for pixel from the top-left corner.
    bool Render(SDL_Texture* t)
    {
        const SDL_Rect all{0, 0, Width(), Height()};
        if (SDL_RenderClear(renderer_.get()) != 0 ||
            SDL_RenderCopy(renderer_.get(), t, nullptr, &all) != 0) {
            spdlog::error("cannot render: {}", SDL_GetError());
            failed_ = true;
        }
        return !failed_;
    }

    // Shows the presented picture again (after the window was uncovered or
    // resized); a picture prepared for later stays prepared.
    bool Redraw()
    {
        if (failed_ || !Render(shown_.get()))
            return false;
        SDL_RenderPresent(renderer_.get());
        X11Sync(display_);
        return !prepared_ || Render(spare_.get());
    }

    // Takes on the window's size after it changed, keeping what lies on
    // both the old and the new canvas.
    bool AdoptSize()
    {
        const auto size = DrawableSize();
        if (!size)
            return false;
        const Size old = pixels_->size();
        if (*size == old)
            return Redraw();
        try {
            pixels_->Resize(*size);
        } catch (const std::bad_alloc&) {
            spdlog::error("no memory for a {}x{} canvas", size->width, size->height);
            return false;
        }
        spare_.reset();
        shown_ = NewTexture();
        if (!shown_ || !Upload(shown_.get(), SDL_Rect{0, 0, Width(), Height()}))
            return false;
        dirty_ = SDL_Rect{};
        const bool was_prepared = prepared_;
        prepared_ = false;
        spdlog::warn("the canvas changed from {}x{} to {}x{}; what lay on both is kept", old.width,
                     old.height, size->width, size->height);
        return Redraw() && (!was_prepared || Prepare());
    }

    // After a change of the screen or its monitors: the refresh period of
    // the monitor the window is on and, for a window covering it, its new
    // area (the window's size change then arrives as an SDL event).
    void UpdateMonitor(bool refit)
    {
        const auto area = X11WindowArea(display_, xwindow_);
        const auto monitor = area ? X11MonitorAt(display_, area->x, area->y) : std::nullopt;
        uint32_t refresh = 0;
        if (monitor) {
            refresh = monitor->refresh_us;
        } else {
            SDL_DisplayMode mode{};
            if (SDL_GetCurrentDisplayMode(display_index_, &mode) == 0 && mode.refresh_rate > 0)
                refresh = uint32_t(1000000 / mode.refresh_rate);
        }
        if (refresh != refresh_us_)
            spdlog::info("refresh period {} us", refresh);
        refresh_us_ = refresh;
        if (refit && monitor && area && !(monitor->area == *area)) {
            spdlog::info("the monitor is now {}x{} at ({}, {}): the window follows",
                         monitor->area.width, monitor->area.height, monitor->area.x,
                         monitor->area.y);
            X11MoveResize(display_, xwindow_, monitor->area);
        }
    }

    std::unique_ptr<SDL_Window, SdlDeleter> window_;
    std::unique_ptr<SDL_Renderer, SdlDeleter> renderer_;
    TexturePtr shown_, spare_;
    std::optional<PixelCanvas> pixels_;
    SDL_Rect dirty_{}; // changed since the last presentation, not yet in shown_
    bool prepared_ = false;
    bool fullscreen_ = false;
    bool vsync_ = false;
    bool failed_ = false;
    int display_index_ = 0;
    uint32_t refresh_us_ = 0;
    void* display_ = nullptr;
    unsigned long xwindow_ = 0;
};

int Serve(WindowCanvas& canvas, int in_fd, int out_fd)
{
    FrameReader reader(in_fd);
    Viewer viewer(canvas, out_fd);
    const int xfd = canvas.XConnectionFd();
    const int timeout = xfd >= 0 ? kIdlePollMs : int(kFallbackPollUs / 1000);
    pollfd fds[2] = {{in_fd, POLLIN, 0}, {xfd, POLLIN, 0}};
    const nfds_t nfds = xfd >= 0 ? 2 : 1;
    for (;;) {
        // Drained first, so that Xlib holds no unread event while we sleep.
        if (const auto status = canvas.HandleEvents())
            return *status;
        const int n = poll(fds, nfds, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            spdlog::error("poll failed: {}", std::strerror(errno));
            return kExitRestart;
        }
        if (nfds == 2 && (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            SDL_PumpEvents(); // lets Xlib see the loss and exit through its handler
            spdlog::error("the connection to the X display was lost");
            return kExitRestart;
        }
        if (fds[0].revents) {
            if (const auto status = Step(reader.ReadSome(), reader, viewer))
                return *status;
        }
    }
}

} // namespace

int RunWindow(const Settings& settings, int in_fd, int out_fd)
{
    // SIGTERM and SIGINT keep their default action instead of becoming SDL_QUIT.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // A fullscreen viewer stays up when another window takes the focus.
    SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        spdlog::critical("cannot open the display: {}", SDL_GetError());
        return kExitGiveUp;
    }
    // SDL falls back to drivers that show nothing; those count as no display
    // unless asked for by name.
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* wanted = std::getenv("SDL_VIDEODRIVER");
    if (driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0) &&
        !(wanted && std::strstr(wanted, driver))) {
        spdlog::critical("cannot open the display: only SDL's {} video driver is available",
                         driver);
        SDL_Quit();
        return kExitGiveUp;
    }
    spdlog::debug("SDL video driver {}", driver ? driver : "?");
    // The window, renderer and SDL itself stay up until the process ends:
    // closing the connection to the display server releases them there, and
    // unloading the GL driver would only make its leftovers look like leaks
    // to the leak checker of sanitizer builds.
    static WindowCanvas* const canvas = new WindowCanvas;
    if (!canvas->Open(settings))
        return kExitGiveUp;
    if (canvas->XConnectionFd() >= 0)
        X11ExitOnConnectionLoss();
    return Serve(*canvas, in_fd, out_fd);
}

} // namespace orvane
