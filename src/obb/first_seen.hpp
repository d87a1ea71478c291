// geokern obb: which vertex references have been seen.
//
// A face names the same vertex many times (about six times each in a
// closed triangle mesh); only the first mention of each reference needs to
// reach the index set.  References within +-2^26 are kept as bits,
// growing with the largest seen; the rare others in a hash set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace gk::obb {

class FirstSeen {
public:
    // True the first time `value` is given, false after.
    bool insert(int64_t value) {
        if (value >= 0 && value < kDense) return insert_bit(positive_, value);
        if (value < 0 && value >= -kDense) return insert_bit(negative_, -(value + 1));
        return far_.insert(value).second;
    }

private:
    static constexpr int64_t kDense = int64_t{1} << 26;

    static bool insert_bit(std::vector<uint64_t>& bits, int64_t value) {
        const size_t word = static_cast<size_t>(value) >> 6;
        if (word >= bits.size()) {
            bits.resize(std::min<size_t>(std::max<size_t>(1024, 2 * word), kDense >> 6), 0);
        }
        const uint64_t mask = uint64_t{1} << (value & 63);
        const bool fresh = (bits[word] & mask) == 0;
        bits[word] |= mask;
        return fresh;
    }

    std::vector<uint64_t> positive_;
    std::vector<uint64_t> negative_;
    std::unordered_set<int64_t> far_;
};

}  // namespace gk::obb
