// geokern obb: UTF-8 text as the OBJ reader sees it (see utf8.hpp).
#include "obb/utf8.hpp"

#include <cstdint>
#include <cstring>

#ifdef __AVX2__
#include <immintrin.h>
#endif

namespace gk::obb {

namespace {

using Byte = unsigned char;

// The end of the run of ASCII bytes that starts at p (at most `end`).
const char* skip_ascii(const char* p, const char* end) noexcept {
#ifdef __AVX2__
    for (; end - p >= 32; p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if (_mm256_movemask_epi8(v) != 0) break;
    }
#endif
    for (; end - p >= 8; p += 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if ((word & 0x8080808080808080ULL) != 0) break;
    }
    while (p < end && static_cast<Byte>(*p) < 0x80) ++p;
    return p;
}

bool is_ascii_space(Byte c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
}

// Length of the whitespace character that ends [p, p + n) with a byte of
// 0x80 or more, or 0 when it is not whitespace.
size_t trailing_wide_space(const Byte* p, size_t n) noexcept {
    const Byte last = p[n - 1];
    if (n >= 2 && p[n - 2] == 0xC2 && (last == 0x85 || last == 0xA0)) return 2;
    if (n < 3) return 0;
    const Byte lead = p[n - 3], mid = p[n - 2];
    const bool space = (lead == 0xE1 && mid == 0x9A && last == 0x80) ||
                       (lead == 0xE2 && mid == 0x80 &&
                        (last <= 0x8A || last == 0xA8 || last == 0xA9 || last == 0xAF)) ||
                       (lead == 0xE2 && mid == 0x81 && last == 0x9F) ||
                       (lead == 0xE3 && mid == 0x80 && last == 0x80);
    return space ? 3 : 0;
}

}  // namespace

Utf8Check check_utf8(const char* data, size_t size) noexcept {
    const Byte* p = reinterpret_cast<const Byte*>(data);
    size_t i = 0;
    while (i < size) {
        i = static_cast<size_t>(skip_ascii(data + i, data + size) - data);
        if (i >= size) break;
        // A multi-byte character: its lead byte fixes the length and the
        // range of the second byte (which excludes overlong forms,
        // surrogates and code points above U+10FFFF).
        const Byte lead = p[i];
        size_t more;
        Byte low = 0x80, high = 0xBF;
        if (lead < 0xC2) {
            return {false, 0};
        } else if (lead < 0xE0) {
            more = 1;
        } else if (lead < 0xF0) {
            more = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead < 0xF5) {
            more = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return {false, 0};
        }
        const size_t seen = size - i - 1 < more ? size - i - 1 : more;
        for (size_t k = 1; k <= seen; ++k) {
            const Byte c = p[i + k];
            if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return {false, 0};
        }
        if (seen < more) return {true, seen + 1};
        i += more + 1;
    }
    return {true, 0};
}

size_t utf8_rstrip(const char* data, size_t size) noexcept {
    const Byte* p = reinterpret_cast<const Byte*>(data);
    while (size > 0) {
        const Byte last = p[size - 1];
        if (last < 0x80) {
            if (!is_ascii_space(last)) break;
            --size;
        } else {
            const size_t width = trailing_wide_space(p, size);
            if (width == 0) break;
            size -= width;
        }
    }
    return size;
}

}  // namespace gk::obb
