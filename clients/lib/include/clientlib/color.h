#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace clientlib {

// "#RRGGBB" or "0xRRGGBB" (hex digits in either case) as 0xRRGGBB.
std::optional<uint32_t> ParseColour(std::string_view text);

}  // namespace clientlib
