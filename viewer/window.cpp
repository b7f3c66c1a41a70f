#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <poll.h>

#include <SDL.h>
#include <spdlog/spdlog.h>

#include "backends.h"
#include "viewer.h"
#include "x11.h"

namespace orvane {
namespace {

// Without the X connection to wait on, SDL is pumped this often while idle.
constexpr int kFallbackPollMs = 100;
// With it, a wake-up now and then still lets SDL keep the screen saver off.
constexpr int kIdlePollMs = 10000;

struct SdlDeleter {
    void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
    void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};

class WindowCanvas final : public Canvas {
public:
    // Opens the window; false (logged) when that is impossible.
    bool Open(const Settings& settings)
    {
        Uint32 flags = SDL_WINDOW_SHOWN;
        int w = 640, h = 480;
        if (settings.window) {
            w = settings.window->width;
            h = settings.window->height;
        } else {
            flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
        }
        window_.reset(SDL_CreateWindow("orvane", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                       w, h, flags));
        if (!window_) {
            spdlog::critical("cannot create the window: {}", SDL_GetError());
            return false;
        }
        renderer_.reset(SDL_CreateRenderer(window_.get(), -1,
                                           SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC));
        if (!renderer_)
            renderer_.reset(SDL_CreateRenderer(window_.get(), -1, 0));
        if (!renderer_) {
            spdlog::critical("cannot create a renderer: {}", SDL_GetError());
            return false;
        }
        if (SDL_GetRendererOutputSize(renderer_.get(), &width_, &height_) != 0 || width_ <= 0 ||
            height_ <= 0) {
            spdlog::critical("cannot get the window's size: {}", SDL_GetError());
            return false;
        }
        texture_.reset(SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_RGB24,
                                         SDL_TEXTUREACCESS_STREAMING, width_, height_));
        if (!texture_) {
            spdlog::critical("cannot create a {}x{} texture: {}", width_, height_, SDL_GetError());
            return false;
        }
        if (!settings.window)
            SDL_ShowCursor(SDL_DISABLE);
        display_ = X11DisplayOf(window_.get());
        SDL_RendererInfo info{};
        SDL_GetRendererInfo(renderer_.get(), &info);
        spdlog::info("window {}x{}{}, renderer {}, {}", width_, height_,
                     settings.window ? "" : " fullscreen", info.name ? info.name : "?",
                     display_ ? "waiting on the X connection" : "polling SDL while idle");
        Fill(0);
        return Redraw();
    }

    void* x_display() const { return display_; }

    int Width() const override { return width_; }
    int Height() const override { return height_; }

    void Fill(uint32_t rgb) override
    {
        void* mem = nullptr;
        int pitch = 0;
        if (SDL_LockTexture(texture_.get(), nullptr, &mem, &pitch) != 0) {
            spdlog::error("cannot lock the texture: {}", SDL_GetError());
            failed_ = true;
            return;
        }
        // A locked streaming texture is write-only: every pixel is written.
        auto* first = static_cast<uint8_t*>(mem);
        const uint8_t px[3] = {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
        for (int x = 0; x < width_; ++x)
            std::memcpy(first + size_t(x) * 3, px, 3);
        for (int y = 1; y < height_; ++y)
            std::memcpy(first + size_t(y) * size_t(pitch), first, size_t(width_) * 3);
        SDL_UnlockTexture(texture_.get());
    }

    void Draw(const Clip& c, const uint8_t* src, size_t src_pitch) override
    {
        const SDL_Rect rect{c.dst_x, c.dst_y, c.width, c.height};
        if (SDL_UpdateTexture(texture_.get(), &rect, src, static_cast<int>(src_pitch)) != 0) {
            spdlog::error("cannot update the texture: {}", SDL_GetError());
            failed_ = true;
        }
    }

    bool Present() override { return Redraw(); }

    // Shows the canvas again, e.g. after the window was uncovered.
    bool Redraw()
    {
        if (failed_)
            return false;
        if (SDL_RenderClear(renderer_.get()) != 0 ||
            SDL_RenderCopy(renderer_.get(), texture_.get(), nullptr, nullptr) != 0) {
            spdlog::error("cannot render: {}", SDL_GetError());
            failed_ = true;
            return false;
        }
        SDL_RenderPresent(renderer_.get());
        // Answer only once the X server has the frame.
        X11Sync(display_);
        return true;
    }

private:
    std::unique_ptr<SDL_Window, SdlDeleter> window_;
    std::unique_ptr<SDL_Renderer, SdlDeleter> renderer_;
    std::unique_ptr<SDL_Texture, SdlDeleter> texture_;
    int width_ = 0;
    int height_ = 0;
    void* display_ = nullptr;
    bool failed_ = false;
};

// Handles every queued SDL event. Returns an exit status when the viewer
// has to stop.
std::optional<int> HandleEvents(WindowCanvas& canvas)
{
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        switch (e.type) {
        case SDL_QUIT:
            spdlog::info("the window was closed");
            return kExitEndOfInput;
        case SDL_WINDOWEVENT:
            if (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
                e.window.event == SDL_WINDOWEVENT_RESTORED ||
                e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
                if (!canvas.Redraw())
                    return kExitRestart;
            }
            break;
        case SDL_RENDER_DEVICE_RESET:
            spdlog::error("the render device was reset");
            return kExitRestart;
        default:
            break;
        }
    }
    return std::nullopt;
}

int Serve(WindowCanvas& canvas, int in_fd, int out_fd)
{
    FrameReader reader(in_fd);
    Viewer viewer(canvas, out_fd);
    const int xfd = X11ConnectionFd(canvas.x_display());
    const int timeout = xfd >= 0 ? kIdlePollMs : kFallbackPollMs;
    pollfd fds[2] = {{in_fd, POLLIN, 0}, {xfd, POLLIN, 0}};
    const nfds_t nfds = xfd >= 0 ? 2 : 1;
    for (;;) {
        // Drained first, so that Xlib holds no unread event while we sleep.
        if (const auto status = HandleEvents(canvas))
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
    if (canvas->x_display())
        X11ExitOnConnectionLoss();
    return Serve(*canvas, in_fd, out_fd);
}

} // namespace orvane
