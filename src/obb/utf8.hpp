// geokern obb: UTF-8 text as the OBJ reader sees it.
//
// The reader works on the file's bytes, not on decoded text.  That is
// sound because every character it looks for (line breaks, blanks,
// slashes, digits) is ASCII, and in well-formed UTF-8 an ASCII byte is
// always a character of its own.  What it must know about the rest:
//   - whether a block of bytes is well-formed, so that decoding it with
//     the strict UTF-8 decoder would raise nothing (check_utf8);
//   - which characters Python's str.strip() removes (utf8_rstrip).
#pragma once

#include <cstddef>

namespace gk::obb {

struct Utf8Check {
    bool valid;  // well-formed, apart from an incomplete last character
    size_t tail; // bytes of that incomplete last character (0 to 3)
};

// Checks [data, data + size) against RFC 3629 (no overlong forms, no
// surrogates, nothing above U+10FFFF), as a stream decoder that may see
// more bytes later: the block may end inside a character, provided every
// byte of that character seen so far is possible; `tail` then counts those
// bytes.  valid is false for anything else; the caller then asks the real
// decoder, which alone decides what an incomplete or bad sequence means.
Utf8Check check_utf8(const char* data, size_t size) noexcept;

// The length of [data, data + size) without its trailing whitespace, with
// whitespace as str.isspace() has it: ASCII 09-0D, 1C-20, and U+0085,
// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// The bytes must be well-formed UTF-8.
size_t utf8_rstrip(const char* data, size_t size) noexcept;

}  // namespace gk::obb
