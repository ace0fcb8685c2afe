// Big-endian ("network order") integers as RFB and the formats beside it (PNG, Extended
// Clipboard) write them: reading from a buffer the caller has checked is long enough, and
// appending to an output buffer. Both RFB ends and the viewers' file writers use these.
#pragma once

#include <cstdint>
#include <vector>

namespace rfb {

inline uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t U32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v >> 16);
    Put16(out, v & 0xffff);
}

}  // namespace rfb
