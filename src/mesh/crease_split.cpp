// geokern mesh: crease-angle splitting (see crease_split.hpp).
//
// The triangles around a vertex come from a compressed incidence table: a
// counting pass over all corners, a prefix sum into row offsets, and a
// fill pass in corner order, so each vertex's list is in ascending
// triangle order with a triangle repeated once per corner at the vertex.
// The table holds corner places only; grouping reads each triangle's unit
// normal from the triangle's own three words, which once held its corners.
// Grouping costs (incident triangles) x (groups) dot products per vertex.
#include "mesh/crease_split.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>

namespace gk::mesh {

namespace {

// Shorter face normals are divided by this instead of their length, so a
// zero-area triangle gets (0, 0, 0).
constexpr float kMinFaceLength = 1e-8f;

inline float dot(const Vec3f& a, const Vec3f& b) noexcept {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

// The unit normal of triangle t, kept as bits in its three words.
inline Vec3f face_normal(const uint32_t* normal_bits, uint32_t t) noexcept {
    const uint32_t* at = normal_bits + 3 * static_cast<std::size_t>(t);
    return {std::bit_cast<float>(at[0]), std::bit_cast<float>(at[1]), std::bit_cast<float>(at[2])};
}

// The length of a group's mean as the vector norm of the numpy build
// computes it (through its BLAS dot product): float32 squares summed in
// double, the sum rounded to float32, then the float32 square root.
float mean_length(const Vec3f& v) noexcept {
    const double squares = (static_cast<double>(v.x * v.x) + static_cast<double>(v.y * v.y)) +
                           static_cast<double>(v.z * v.z);
    return std::sqrt(static_cast<float>(squares));
}

// The mean of a group's unit normals, renormalised.  The division by the
// count is done in double and rounded once to float32.
Vec3f group_normal(const CreaseGroup& g) noexcept {
    const double count = static_cast<double>(g.count);
    const Vec3f mean{static_cast<float>(g.sum.x / count), static_cast<float>(g.sum.y / count),
                     static_cast<float>(g.sum.z / count)};
    const float l = mean_length(mean);
    if (static_cast<double>(l) > 1e-8) return {mean.x / l, mean.y / l, mean.z / l};
    return {0.0f, 0.0f, 1.0f};
}

// A triangle listed at a vertex more than once (it uses the vertex at two
// or three corners) has adjacent entries; all its corners at the vertex
// take the last-created group among them.
void merge_repeated(const uint32_t* places, uint32_t n, uint32_t* group_of) noexcept {
    for (uint32_t i = 1; i < n; ++i) {
        if (places[i] / 3 == places[i - 1] / 3)
            group_of[i] = std::max(group_of[i], group_of[i - 1]);
    }
    for (uint32_t i = n - 1; i > 0; --i) {
        if (places[i] / 3 == places[i - 1] / 3) group_of[i - 1] = group_of[i];
    }
}

// Corners ahead of the one being grouped whose triangle is fetched early.
constexpr std::size_t kPrefetchAhead = 32;

// The first vertex of block b and the one after its last.
std::ptrdiff_t block_begin(std::ptrdiff_t b) noexcept { return b * kVertexBlock; }
std::ptrdiff_t block_end(const CreaseWork& work, std::ptrdiff_t b) noexcept {
    return std::min(work.vertex_count, (b + 1) * kVertexBlock);
}

}  // namespace

float clamp_crease_angle(float angle_deg) noexcept {
    if (!(angle_deg < 180.0f)) return 180.0f;
    return angle_deg <= 0.0f ? 0.0f : angle_deg;
}

CreaseWork::CreaseWork(std::ptrdiff_t vertices, std::ptrdiff_t triangle_count)
    : vertex_count(vertices),
      num_tris(triangle_count),
      corners_then_normals(3 * static_cast<std::size_t>(triangle_count)),
      offsets(static_cast<std::size_t>(vertices) + 1),
      places(3 * static_cast<std::size_t>(triangle_count)),
      normals(3 * static_cast<std::size_t>(triangle_count)) {
    assert(3 * static_cast<uint64_t>(triangle_count) <= UINT32_MAX);
}

bool copy_corners(StridedRows<const uint32_t> tris, std::ptrdiff_t first, std::ptrdiff_t end,
                  CreaseWork& work) noexcept {
    uint32_t* const copy = work.corners_then_normals.get() + 3 * first;
    const std::size_t n = 3 * static_cast<std::size_t>(end - first);
    if (tris.col_stride == sizeof(uint32_t) && tris.row_stride == 3 * sizeof(uint32_t)) {
        // One read of every byte; only the private copy is used afterwards.
        std::memcpy(copy, tris.data + first * tris.row_stride, n * sizeof(uint32_t));
    } else {
        for (std::ptrdiff_t t = first; t < end; ++t) {
            const StridedItems<const uint32_t> row{tris.data + t * tris.row_stride,
                                                   tris.col_stride};
            for (int c = 0; c < 3; ++c) copy[3 * (t - first) + c] = row.load_once(c);
        }
    }
    uint32_t highest = 0;
    for (std::size_t i = 0; i < n; ++i) highest = std::max(highest, copy[i]);
    return highest < static_cast<uint64_t>(work.vertex_count);
}

void start_counts(CreaseWork& work) noexcept {
    std::fill_n(work.offsets.get(), work.vertex_count + 1, 0u);
}

void count_corners(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept {
    const uint32_t* const corners = work.corners_then_normals.get();
    uint32_t* const offsets = work.offsets.get();
    // The count of v goes to offsets[v + 1].
    for (std::ptrdiff_t i = 3 * first; i < 3 * end; ++i) ++offsets[corners[i] + 1];
}

void sum_counts(CreaseWork& work) noexcept {
    uint32_t* const offsets = work.offsets.get();
    for (std::ptrdiff_t v = 1; v <= work.vertex_count; ++v) offsets[v] += offsets[v - 1];
}

void fill_incidence(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept {
    const uint32_t* const corners = work.corners_then_normals.get();
    uint32_t* const offsets = work.offsets.get();
    uint32_t* const places = work.places.get();
    // Filling advances offsets[v] to the end of v's list, which is where
    // the list of v + 1 starts (restored by restore_offsets).
    for (std::ptrdiff_t i = 3 * first; i < 3 * end; ++i) {
        places[offsets[corners[i]]++] = static_cast<uint32_t>(i);
    }
}

void restore_offsets(CreaseWork& work) noexcept {
    uint32_t* const offsets = work.offsets.get();
    std::memmove(offsets + 1, offsets,
                 static_cast<std::size_t>(work.vertex_count) * sizeof(uint32_t));
    offsets[0] = 0;
}

void face_normals(StridedRows<const float> pos, std::ptrdiff_t first, std::ptrdiff_t end,
                  CreaseWork& work) noexcept {
    for (std::ptrdiff_t t = first; t < end; ++t) {
        uint32_t* const words = work.corners_then_normals.get() + 3 * t;
        const Vec3f cross =
            face_cross(load(pos, words[0]), load(pos, words[1]), load(pos, words[2]));
        // A NaN length stays NaN (max keeps its first operand when the
        // comparison fails).
        const float l = std::max(length(cross), kMinFaceLength);
        words[0] = std::bit_cast<uint32_t>(cross.x / l);
        words[1] = std::bit_cast<uint32_t>(cross.y / l);
        words[2] = std::bit_cast<uint32_t>(cross.z / l);
    }
}

namespace {

// Whether some normal may still join a group whose first normal is
// `first`: never when it holds a NaN (every comparison is false), and for
// the zero normal of a degenerate triangle only when the threshold's
// cosine is at most 0 (its dot product with anything is 0 or NaN).
bool joinable(const Vec3f& first, float cos_threshold) noexcept {
    if (std::isnan(first.x) || std::isnan(first.y) || std::isnan(first.z)) return false;
    return first.x != 0.0f || first.y != 0.0f || first.z != 0.0f || 0.0f >= cos_threshold;
}

}  // namespace

std::size_t most_corners(const CreaseWork& work) noexcept {
    uint32_t most = 0;
    for (std::ptrdiff_t v = 0; v < work.vertex_count; ++v) {
        most = std::max(most, work.offsets[v + 1] - work.offsets[v]);
    }
    return most;
}

void group_block(CreaseWork& work, std::ptrdiff_t block, float cos_threshold, GroupRoom room,
                 StridedItems<uint32_t> corner_ids) noexcept {
    const uint32_t* const normal_bits = work.corners_then_normals.get();
    const uint32_t* const places = work.places.get();
    uint32_t* const offsets = work.offsets.get();
    CreaseGroup* const groups = room.groups;
    const std::size_t corners = 3 * static_cast<std::size_t>(work.num_tris);
    for (std::ptrdiff_t v = block_begin(block); v < block_end(work, block); ++v) {
        const uint32_t begin = offsets[v];
        const uint32_t n = offsets[v + 1] - begin;
        const uint32_t* const at_v = places + begin;
        // The triangles around a vertex lie anywhere in memory: ask for
        // those of the vertices ahead while this one is grouped.
        for (std::size_t k = begin + kPrefetchAhead;
             k < std::min<std::size_t>(begin + n + kPrefetchAhead, corners); ++k) {
            __builtin_prefetch(normal_bits + 3 * static_cast<std::size_t>(places[k] / 3));
            __builtin_prefetch(corner_ids.data + places[k] * corner_ids.stride, 1);
        }
        uint32_t made = 0;
        uint32_t opened = 0;
        bool repeated = false;
        uint32_t previous = UINT32_MAX;  // no triangle has this number
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t t = at_v[i] / 3;
            const Vec3f fn = face_normal(normal_bits, t);
            // The first group in the order made whose first normal is close
            // enough.  Groups no normal can join are left out of the search,
            // so that many degenerate triangles at one vertex stay linear.
            uint32_t k = 0;
            while (k < opened && !(dot(fn, groups[room.open[k]].first) >= cos_threshold)) ++k;
            uint32_t g;
            if (k < opened) {
                g = room.open[k];
            } else {
                g = made++;
                groups[g] = {fn, {0.0f, 0.0f, 0.0f}, 0};
                if (joinable(fn, cos_threshold)) room.open[opened++] = g;
            }
            CreaseGroup& group = groups[g];
            group.sum = {group.sum.x + fn.x, group.sum.y + fn.y, group.sum.z + fn.z};
            ++group.count;
            room.group_of[i] = g;
            repeated |= t == previous;
            previous = t;
        }
        if (repeated) merge_repeated(at_v, n, room.group_of);
        const auto first = static_cast<uint32_t>(work.outputs);
        for (uint32_t i = 0; i < n; ++i) corner_ids[at_v[i]] = first + room.group_of[i];
        for (uint32_t g = 0; g < made; ++g)
            work.normals[work.outputs + g] = group_normal(groups[g]);
        work.outputs += made;
        // Unused vertices make no output vertex.
        offsets[v] = made;
    }
}

std::size_t write_block(const CreaseWork& work, std::ptrdiff_t block, std::size_t row,
                        StridedRows<const float> pos, StridedRows<float> new_pos,
                        StridedRows<float> normals, StridedItems<uint32_t> sources) noexcept {
    for (std::ptrdiff_t v = block_begin(block); v < block_end(work, block); ++v) {
        const uint32_t made = work.offsets[v];
        if (made == 0) continue;
        const Vec3f p = load(pos, v);
        for (uint32_t g = 0; g < made; ++g, ++row) {
            const auto r = static_cast<std::ptrdiff_t>(row);
            store(new_pos, r, p);
            store(normals, r, work.normals[row]);
            sources[r] = static_cast<uint32_t>(v);
        }
    }
    return row;
}

}  // namespace gk::mesh
