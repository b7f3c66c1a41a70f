#include "pixels.h"

#include <algorithm>
#include <cstring>

namespace orvane {

PixelCanvas::PixelCanvas(Size size)
    : size_(size), pitch_(size_t(size.width) * 3), pixels_(pitch_ * size_t(size.height), 0)
{
}

void PixelCanvas::Fill(uint32_t rgb)
{
    if (pixels_.empty())
        return;
    const uint8_t px[3] = {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
    uint8_t* row = pixels_.data();
    for (int x = 0; x < size_.width; ++x)
        std::memcpy(row + size_t(x) * 3, px, 3);
    for (int y = 1; y < size_.height; ++y)
        std::memcpy(row + size_t(y) * pitch_, row, pitch_);
}

void PixelCanvas::Draw(const Clip& c, const uint8_t* src, size_t src_pitch)
{
    uint8_t* dst = pixels_.data() + size_t(c.dst_y) * pitch_ + size_t(c.dst_x) * 3;
    const size_t bytes = size_t(c.width) * 3;
    for (int y = 0; y < c.height; ++y)
        std::memcpy(dst + size_t(y) * pitch_, src + size_t(y) * src_pitch, bytes);
}

void PixelCanvas::Resize(Size size)
{
    if (size == size_)
        return;
    const size_t pitch = size_t(size.width) * 3;
    std::vector<uint8_t> next(pitch * size_t(size.height), 0);
    const size_t keep = size_t(std::min(size.width, size_.width)) * 3;
    const int rows = std::min(size.height, size_.height);
    for (int y = 0; y < rows; ++y)
        std::memcpy(next.data() + size_t(y) * pitch, pixels_.data() + size_t(y) * pitch_, keep);
    pixels_.swap(next);
    size_ = size;
    pitch_ = pitch;
}

} // namespace orvane
