// Loading pictures as packed 8-bit RGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clientlib {

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // width * height * 3 bytes, rows top to bottom
};

// Reads a whole file, "-" meaning standard input. Throws ClientError(Local).
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// Decodes PNG, JPEG, BMP, GIF (first frame), PPM or PGM to RGB.
// Throws ClientError(Local) with the decoder's reason.
RgbImage DecodeImage(const std::vector<uint8_t>& bytes, const std::string& name);

// Raw RGB of the given size; the byte count must be exactly width * height * 3.
RgbImage RawImage(std::vector<uint8_t> bytes, uint32_t width, uint32_t height,
                  const std::string& name);

}  // namespace clientlib
