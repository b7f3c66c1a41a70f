// The one place stb_image is compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace clientlib {

// Decodes to packed RGB; false with the decoder's reason on failure.
bool StbDecodeRgb(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height,
                  std::vector<uint8_t>& rgb, std::string& why);

}  // namespace clientlib
