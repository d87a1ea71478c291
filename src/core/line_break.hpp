// geokern core: the next line break in a text buffer, for the OBJ readers.
//
// Both "\n" and "\r" count as breaks (CR LF is a break followed by an
// empty remainder the caller skips).  With AVX2 the search looks at 32
// bytes per step and reads nothing at or past `end`.
#pragma once

#ifdef __AVX2__
#include <immintrin.h>
#endif

namespace gk::core {

// The first "\n" or "\r" in [p, end), or end.
inline const char* find_line_break(const char* p, const char* end) noexcept {
#ifdef __AVX2__
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    for (; end - p >= 32; p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const unsigned hits = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
        if (hits) return p + __builtin_ctz(hits);
    }
#endif
    for (; p < end; ++p) {
        if (*p == '\n' || *p == '\r') return p;
    }
    return end;
}

}  // namespace gk::core
