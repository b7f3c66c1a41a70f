#include "support/images.h"

#include <cstdio>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

namespace testsupport {

uint32_t Rgb::at(int x, int y) const
{
    const uint8_t *p = &pixels[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
    return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
}

Rgb patternImage(int width, int height, uint32_t seed)
{
    Rgb img;
    img.width = width;
    img.height = height;
    img.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : img.pixels) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return img;
}

bool writePng(const std::string &path, const Rgb &image)
{
    return stbi_write_png(path.c_str(), image.width, image.height, 3, image.pixels.data(), image.width * 3) != 0;
}

std::optional<Rgb> loadPng(const std::string &path)
{
    int w = 0, h = 0, channels = 0;
    unsigned char *data = stbi_load(path.c_str(), &w, &h, &channels, 3);
    if (!data)
        return std::nullopt;
    Rgb img;
    img.width = w;
    img.height = h;
    img.pixels.assign(data, data + static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    stbi_image_free(data);
    return img;
}

std::optional<Rgb> parseXwd(const std::string &bytes, std::string *why)
{
    if (bytes.size() < 100) {
        *why = "only " + std::to_string(bytes.size()) + " bytes";
        return std::nullopt;
    }
    const auto word = [&](int i) {
        const auto *p = reinterpret_cast<const uint8_t *>(bytes.data()) + 4 * i;
        return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    };
    const uint32_t headerSize = word(0), version = word(1), format = word(2);
    const uint32_t width = word(4), height = word(5), byteOrder = word(7);
    const uint32_t bitsPerPixel = word(11), bytesPerLine = word(12);
    const uint32_t masks[3] = {word(14), word(15), word(16)};
    const uint32_t colours = word(19);
    if (version != 7 || format != 2 || (bitsPerPixel != 32 && bitsPerPixel != 24) || !masks[0] || !masks[1] ||
        !masks[2] || width == 0 || height == 0 || width > 16384 || height > 16384) {
        *why = "unexpected header: version " + std::to_string(version) + ", format " + std::to_string(format) + ", " +
               std::to_string(bitsPerPixel) + " bits per pixel";
        return std::nullopt;
    }
    const size_t offset = size_t{headerSize} + size_t{colours} * 12;
    if (bytesPerLine < width * (bitsPerPixel / 8) || bytes.size() < offset + size_t{bytesPerLine} * height) {
        *why = "truncated dump";
        return std::nullopt;
    }
    Rgb img;
    img.width = static_cast<int>(width);
    img.height = static_cast<int>(height);
    img.pixels.resize(size_t{width} * height * 3);
    const size_t pixelBytes = bitsPerPixel / 8;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const auto *p = reinterpret_cast<const uint8_t *>(bytes.data()) + offset + size_t{y} * bytesPerLine +
                            size_t{x} * pixelBytes;
            uint32_t v = 0;
            for (size_t i = 0; i < pixelBytes; ++i)
                v |= byteOrder == 0 ? uint32_t{p[i]} << (8 * i) : uint32_t{p[i]} << (8 * (pixelBytes - 1 - i));
            uint8_t *out = &img.pixels[(size_t{y} * width + x) * 3];
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<uint8_t>((v & masks[c]) >> __builtin_ctz(masks[c]));
        }
    return img;
}

int mismatches(const Rgb &screen, const Rgb &image, int x0, int y0, uint32_t fill, std::string *report)
{
    int bad = 0;
    for (int y = 0; y < screen.height; ++y)
        for (int x = 0; x < screen.width; ++x) {
            uint32_t want = fill;
            if (x >= x0 && x < x0 + image.width && y >= y0 && y < y0 + image.height)
                want = image.at(x - x0, y - y0);
            const uint32_t got = screen.at(x, y);
            if (got != want && ++bad <= 5) {
                char line[96];
                std::snprintf(line, sizeof line, "pixel (%d, %d) is %06X, not %06X\n", x, y, got, want);
                *report += line;
            }
        }
    return bad;
}

} // namespace testsupport
