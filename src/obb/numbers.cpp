// geokern obb: fast paths for the numbers of OBJ lines (see numbers.hpp).
//
// Digits are taken eight at a time where there are eight: one 64-bit load,
// a test that all eight bytes are ASCII digits, and three multiplications
// that combine them pairwise into their value.
#include "obb/numbers.hpp"

#include <charconv>
#include <cstring>
#include <system_error>

namespace gk::obb {

namespace {

constexpr uint64_t kZeros = 0x3030303030303030;  // eight '0' bytes

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') <= 9; }

// True when all eight bytes of `chunk` are ASCII digits.
bool eight_digits(uint64_t chunk) noexcept {
    return (((chunk + 0x4646464646464646) | (chunk - kZeros)) & 0x8080808080808080) == 0;
}

// The value of eight ASCII digits, the first in the lowest byte.
uint64_t eight_digit_value(uint64_t chunk) noexcept {
    chunk -= kZeros;
    chunk = chunk * 10 + (chunk >> 8);  // pairs: 10 a + b in every even byte
    return (((chunk & 0x000000FF000000FF) * 0x000F424000000064) +
            (((chunk >> 16) & 0x000000FF000000FF) * 0x0000271000000001)) >>
           32;
}

uint64_t load8(const char* p) noexcept {
    uint64_t chunk;
    std::memcpy(&chunk, p, sizeof chunk);
    return chunk;
}

// Appends the digits of [p, end) to `value`, eight at a time while eight
// remain.  Returns where the first byte that is not a digit is (or end).
const char* take_digits(const char* p, const char* end, uint64_t& value) noexcept {
    for (; end - p >= 8 && eight_digits(load8(p)); p += 8) {
        value = value * 100000000 + eight_digit_value(load8(p));
    }
    for (; p < end && is_digit(*p); ++p) value = value * 10 + static_cast<uint64_t>(*p - '0');
    return p;
}

// d+(.d*)? or .d+ with at most 15 digits in all and no exponent: the
// digits as an integer and the number of them after the point.  Both
// that integer and the power of ten it is divided by are exact doubles,
// so the one rounded division gives the correctly rounded value (the
// common case of an exported file, and several times faster than the
// general conversion).
bool short_decimal(const char* p, const char* end, double& value) noexcept {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (end - p > 16) return false;
    uint64_t digits = 0;
    const char* point = take_digits(p, end, digits);
    ptrdiff_t count = point - p;
    ptrdiff_t after_point = 0;
    if (point < end) {
        if (*point != '.') return false;
        const char* stop = take_digits(point + 1, end, digits);
        if (stop != end) return false;
        after_point = stop - (point + 1);
        count += after_point;
    }
    if (count == 0 || count > 15) return false;
    value = static_cast<double>(digits) / kPowers[after_point];
    return true;
}

}  // namespace

bool parse_plain_float(std::string_view token, double& value) noexcept {
    const char* p = token.data();
    const char* end = p + token.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    // The sign is ours: from_chars would take a second one, and its "inf"
    // and "nan" spellings are not all Python's.
    if (p == end || !(is_digit(*p) || *p == '.')) return false;
    double parsed;
    if (!short_decimal(p, end, parsed)) {
        const auto [stop, error] = std::from_chars(p, end, parsed, std::chars_format::general);
        if (error != std::errc() || stop != end) return false;
    }
    value = negative ? -parsed : parsed;
    return true;
}

bool parse_plain_int(std::string_view token, int64_t& value) noexcept {
    const char* p = token.data();
    const char* end = p + token.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const ptrdiff_t length = end - p;
    if (length == 0 || length > 18) return false;
    uint64_t parsed = 0;
    if (length < 8) {
        // The digits in the high bytes of one load, '0's before them.
        const int shift = 8 * static_cast<int>(8 - length);
        const uint64_t chunk = (load8(p) << shift) | (kZeros >> (64 - shift));
        if (!eight_digits(chunk)) return false;
        parsed = eight_digit_value(chunk);
    } else if (take_digits(p, end, parsed) != end) {
        return false;
    }
    value = negative ? -static_cast<int64_t>(parsed) : static_cast<int64_t>(parsed);
    return true;
}

}  // namespace gk::obb
