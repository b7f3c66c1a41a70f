#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_ONLY_GIF
#define STBI_ONLY_PNM
#include <stb/stb_image.h>

#include "stb_decode.h"

namespace clientlib {

bool StbDecodeRgb(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height,
                  std::vector<uint8_t>& rgb, std::string& why) {
    int w = 0, h = 0, channels = 0;
    stbi_uc* pixels = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &channels, 3);
    if (!pixels) {
        const char* reason = stbi_failure_reason();
        why = reason ? reason : "unknown format";
        return false;
    }
    width = static_cast<uint32_t>(w);
    height = static_cast<uint32_t>(h);
    rgb.assign(pixels, pixels + static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    stbi_image_free(pixels);
    return true;
}

}  // namespace clientlib
