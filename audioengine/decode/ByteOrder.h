// SPDX-License-Identifier: MIT
// Reading 32- and 64-bit fields of file headers, whose byte order the format fixes.
#pragma once

#include <cstdint>

namespace ae {

inline uint32_t BigEndian32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline uint32_t LittleEndian32(const unsigned char* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

inline uint64_t BigEndian64(const unsigned char* p) {
    return (uint64_t{BigEndian32(p)} << 32) | BigEndian32(p + 4);
}

inline uint64_t LittleEndian64(const unsigned char* p) {
    return (uint64_t{LittleEndian32(p + 4)} << 32) | LittleEndian32(p);
}

}  // namespace ae
