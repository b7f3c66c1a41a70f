#include "clientlib/color.h"

namespace clientlib {

std::optional<uint32_t> ParseColour(std::string_view text) {
    if (text.starts_with("#")) text.remove_prefix(1);
    else if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    else return std::nullopt;
    if (text.size() != 6) return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        uint32_t d;
        if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
        else return std::nullopt;
        v = (v << 4) | d;
    }
    return v;
}

}  // namespace clientlib
