// The canvas's pixels in memory: the headless canvas itself, and the copy the
// window keeps so that it can rebuild its textures after a size change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "options.h"
#include "protocol.h"

namespace orvane {

// RGB, 3 bytes a pixel, rows top to bottom without padding; black at start.
class PixelCanvas {
public:
    // Throws std::bad_alloc.
    explicit PixelCanvas(Size size);

    Size size() const { return size_; }
    int width() const { return size_.width; }
    int height() const { return size_.height; }
    size_t pitch() const { return pitch_; }
    const uint8_t* data() const { return pixels_.data(); }
    const uint8_t* at(int x, int y) const { return data() + size_t(y) * pitch_ + size_t(x) * 3; }

    void Fill(uint32_t rgb);
    // Copies clip.width x clip.height pixels from src (rows src_pitch bytes
    // apart) to (clip.dst_x, clip.dst_y); the clip lies on the canvas.
    void Draw(const Clip& clip, const uint8_t* src, size_t src_pitch);
    // Changes the size. What lies on both the old and the new canvas (the
    // top-left corner is fixed) is kept, new pixels are black. Throws
    // std::bad_alloc and then leaves the canvas as it was.
    void Resize(Size size);

private:
    Size size_;
    size_t pitch_;
    std::vector<uint8_t> pixels_;
};

} // namespace orvane
