// Big-endian words as they travel on client connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace clientlib {

inline void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t GetBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void PutBe64(uint8_t* p, uint64_t v) {
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

inline uint64_t GetBe64(const uint8_t* p) {
    return (uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4);
}

inline void AppendBe32(std::vector<uint8_t>& out, uint32_t v) {
    size_t at = out.size();
    out.resize(at + 4);
    PutBe32(out.data() + at, v);
}

}  // namespace clientlib
