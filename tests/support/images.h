// Pictures for the end-to-end tests: PNG files written and read with stb,
// and screenshots of an X display in the dump format xwd writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// An RGB picture, rows top to bottom, 3 bytes per pixel.
struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    uint32_t at(int x, int y) const; // 0xRRGGBB
};

// A width x height picture of pseudo-random pixels from seed.
Rgb patternImage(int width, int height, uint32_t seed);

bool writePng(const std::string &path, const Rgb &image);
std::optional<Rgb> loadPng(const std::string &path);

// Parses xwd's output (ZPixmap, 24 or 32 bits per pixel) into RGB.
std::optional<Rgb> parseXwd(const std::string &bytes, std::string *why);

// Counts the pixels of `screen` that differ from `image` placed at (x0, y0)
// (clipped) over a background of colour `fill`; the first few are described
// in *report.
int mismatches(const Rgb &screen, const Rgb &image, int x0, int y0, uint32_t fill, std::string *report);

} // namespace testsupport
