// geokern obb: fast paths for the numbers of OBJ lines (see numbers.hpp).
#include "obb/numbers.hpp"

#include <charconv>
#include <system_error>

namespace gk::obb {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

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
    const auto [stop, error] = std::from_chars(p, end, parsed, std::chars_format::general);
    if (error != std::errc() || stop != end) return false;
    value = negative ? -parsed : parsed;
    return true;
}

bool parse_plain_int(std::string_view token, int64_t& value) noexcept {
    const char* p = token.data();
    const char* end = p + token.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || end - p > 18) return false;
    int64_t parsed = 0;
    for (; p < end; ++p) {
        if (!is_digit(*p)) return false;
        parsed = parsed * 10 + (*p - '0');
    }
    value = negative ? -parsed : parsed;
    return true;
}

}  // namespace gk::obb
