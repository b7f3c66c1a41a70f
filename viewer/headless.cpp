#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <poll.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "backends.h"
#include "pixels.h"
#include "viewer.h"

namespace orvane {
namespace {

class MemoryCanvas final : public Canvas {
public:
    MemoryCanvas(Size size, std::string snapshot_dir) : pixels_(size), dir_(std::move(snapshot_dir))
    {
    }

    int Width() const override { return pixels_.width(); }
    int Height() const override { return pixels_.height(); }
    void Fill(uint32_t rgb) override { pixels_.Fill(rgb); }
    void Draw(const Clip& c, const uint8_t* src, size_t src_pitch) override
    {
        pixels_.Draw(c, src, src_pitch);
    }
    // Nothing to swap: the picture is "up" as soon as it is drawn.
    std::optional<int64_t> Present() override { return Now(); }

    void Presented(uint32_t frame) override
    {
        if (!dir_.empty())
            Snapshot(frame);
    }

    bool Idle(int64_t micros) override
    {
        const timespec t{static_cast<time_t>(micros / 1000000),
                         static_cast<long>(micros % 1000000) * 1000};
        nanosleep(&t, nullptr); // an interruption only ends this round of the wait
        return true;
    }

private:
    // frame-NNNNNN.png appears complete (written under a hidden name, then
    // renamed); latest.png is then switched to it atomically via a hard link.
    void Snapshot(uint32_t frame)
    {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06u.png", frame);
        const std::string final_path = dir_ + "/" + name;
        const std::string tmp_path = dir_ + "/." + name + ".tmp";
        // Snapshots are for checking, not archiving: fast compression keeps a
        // full-HD snapshot near 0.1 s instead of half a second.
        stbi_write_png_compression_level = 1;
        if (!stbi_write_png(tmp_path.c_str(), pixels_.width(), pixels_.height(), 3, pixels_.data(),
                            static_cast<int>(pixels_.pitch()))) {
            spdlog::error("cannot write snapshot {}", tmp_path);
            unlink(tmp_path.c_str());
            return;
        }
        if (rename(tmp_path.c_str(), final_path.c_str()) != 0) {
            spdlog::error("cannot rename snapshot to {}: {}", final_path, std::strerror(errno));
            unlink(tmp_path.c_str());
            return;
        }
        const std::string latest_tmp = dir_ + "/.latest.png.tmp";
        const std::string latest = dir_ + "/latest.png";
        unlink(latest_tmp.c_str());
        if (link(final_path.c_str(), latest_tmp.c_str()) != 0 ||
            rename(latest_tmp.c_str(), latest.c_str()) != 0) {
            spdlog::warn("cannot point {} at {}: {}", latest, final_path, std::strerror(errno));
            unlink(latest_tmp.c_str());
            return;
        }
        spdlog::debug("snapshot {}", final_path);
    }

    PixelCanvas pixels_;
    std::string dir_;
};

// Creates the snapshot directory when missing (one level) and checks that
// files can be made in it.
bool PrepareSnapshotDir(const std::string& dir)
{
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        spdlog::critical("cannot create snapshot directory {}: {}", dir, std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        access(dir.c_str(), W_OK | X_OK) != 0) {
        spdlog::critical("snapshot directory {} is not a writable directory", dir);
        return false;
    }
    return true;
}

} // namespace

int RunHeadless(const Settings& settings, int in_fd, int out_fd)
{
    if (!settings.snapshot_dir.empty() && !PrepareSnapshotDir(settings.snapshot_dir))
        return kExitGiveUp;
    std::optional<MemoryCanvas> canvas;
    try {
        canvas.emplace(settings.canvas, settings.snapshot_dir);
    } catch (const std::bad_alloc&) {
        spdlog::critical("no memory for a {}x{} canvas", settings.canvas.width,
                         settings.canvas.height);
        return kExitGiveUp;
    }
    spdlog::info("headless canvas {}x{}{}{}", settings.canvas.width, settings.canvas.height,
                 settings.snapshot_dir.empty() ? "" : ", snapshots in ", settings.snapshot_dir);
    if (!settings.display_named)
        spdlog::warn("{}", kHeadlessWithoutDisplay);

    FrameReader reader(in_fd);
    Viewer viewer(*canvas, out_fd);
    for (;;) {
        const FrameReader::Status status = reader.ReadSome();
        if (status == FrameReader::Status::WouldBlock) {
            // Standard input is non-blocking: sleep until it has bytes.
            pollfd p{in_fd, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) {
                spdlog::error("poll failed on standard input: {}", std::strerror(errno));
                return kExitRestart;
            }
            continue;
        }
        if (const auto exit_status = Step(status, reader, viewer))
            return *exit_status;
    }
}

} // namespace orvane
