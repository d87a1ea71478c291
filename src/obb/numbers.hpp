// geokern obb: fast paths for the numbers of OBJ lines.
//
// Each function accepts only the plain ASCII forms it reads exactly as
// Python's float() or int() would, and reports false for anything else
// (underscores, surrounding whitespace, inf and nan, non-ASCII digits,
// hexadecimal, out-of-range values, malformed text), leaving that token to
// the full conversion.  So whatever a token is, its value or its error is
// Python's.
#pragma once

#include <cstdint>
#include <string_view>

namespace gk::obb {

// [+-]?(d+(.d*)?|.d+)([eE][+-]?d+)? taking the whole token, correctly
// rounded to the nearest double (std::from_chars); a minus sign negates,
// so "-0" gives -0.0.  Tokens whose value overflows or underflows are
// left to the caller.
bool parse_plain_float(std::string_view token, double& value) noexcept;

// [+-]?d{1,18} taking the whole token (leading zeros allowed, as int()
// allows them); longer tokens are left to the caller.  Reads up to 7
// bytes past the end of a short token: the caller's buffer has that much
// room after its data.
bool parse_plain_int(std::string_view token, int64_t& value) noexcept;

}  // namespace gk::obb
