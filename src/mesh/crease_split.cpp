// geokern mesh: crease-angle splitting (see crease_split.hpp).
//
// The triangles around a vertex come from a compressed incidence table: a
// counting pass over all corners, a prefix sum into row offsets, and a
// fill pass in triangle order, so each vertex's list is in ascending
// triangle order with a triangle repeated once per corner at the vertex.
// Grouping costs (incident triangles) x (groups) dot products per vertex.
#include "mesh/crease_split.hpp"

#include <algorithm>
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

inline bool same_triangle(const Incident& a, const Incident& b) noexcept {
    return a.place / 3 == b.place / 3;
}

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

CreaseWork::CreaseWork(std::ptrdiff_t vertices, std::ptrdiff_t triangles)
    : vertex_count(vertices),
      num_tris(triangles),
      corners(3 * static_cast<std::size_t>(triangles)),
      face(static_cast<std::size_t>(triangles)),
      offsets(static_cast<std::size_t>(vertices) + 1),
      entries(3 * static_cast<std::size_t>(triangles)),
      groups_of_vertex(static_cast<std::size_t>(vertices)),
      groups_of_block(static_cast<std::size_t>(blocks())) {
    assert(3 * static_cast<uint64_t>(triangles) <= UINT32_MAX);
}

bool copy_corners(StridedRows<const float> pos, StridedRows<const uint32_t> tris,
                  std::ptrdiff_t first, std::ptrdiff_t end, uint64_t limit,
                  CreaseWork& work) noexcept {
    uint32_t* const copy = work.corners.get() + 3 * first;
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
    if (highest >= limit) return false;

    // Unit normals; a NaN length stays NaN (max keeps its first operand
    // when the comparison fails).
    for (std::ptrdiff_t t = first; t < end; ++t) {
        const uint32_t* c = work.corners.get() + 3 * t;
        const Vec3f cross = face_cross(load(pos, c[0]), load(pos, c[1]), load(pos, c[2]));
        const float l = std::max(length(cross), kMinFaceLength);
        work.face[t] = {cross.x / l, cross.y / l, cross.z / l};
    }
    return true;
}

void count_corners(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept {
    const std::size_t n = 3 * static_cast<std::size_t>(work.num_tris);
    const uint32_t* const corners = work.corners.get();
    uint32_t* const offsets = work.offsets.get();
    const auto low = static_cast<uint32_t>(first);
    const auto span = static_cast<uint32_t>(end - first);
    // The count of v goes to offsets[v + 1].
    std::fill(offsets + first + 1, offsets + end + 1, 0u);
    for (std::size_t i = 0; i < n; ++i) {
        if (corners[i] - low < span) ++offsets[corners[i] + 1];
    }
}

void sum_counts(CreaseWork& work) noexcept {
    uint32_t* const offsets = work.offsets.get();
    offsets[0] = 0;
    for (std::ptrdiff_t v = 1; v <= work.vertex_count; ++v) offsets[v] += offsets[v - 1];
}

void fill_incidence(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept {
    const std::size_t n = 3 * static_cast<std::size_t>(work.num_tris);
    const uint32_t* const corners = work.corners.get();
    uint32_t* const offsets = work.offsets.get();
    Incident* const entries = work.entries.get();
    const auto low = static_cast<uint32_t>(first);
    const auto span = static_cast<uint32_t>(end - first);
    // Filling advances offsets[v] to the end of v's list, which is where
    // the list of v + 1 starts (restored by restore_offsets).
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t v = corners[i];
        if (v - low < span) entries[offsets[v]++] = {static_cast<uint32_t>(i), work.face[i / 3]};
    }
}

void restore_offsets(CreaseWork& work) noexcept {
    uint32_t* const offsets = work.offsets.get();
    std::memmove(offsets + 1, offsets,
                 static_cast<std::size_t>(work.vertex_count) * sizeof(uint32_t));
    offsets[0] = 0;
}

std::size_t most_corners(const CreaseWork& work) noexcept {
    uint32_t most = 0;
    for (std::ptrdiff_t v = 0; v < work.vertex_count; ++v) {
        most = std::max(most, work.offsets[v + 1] - work.offsets[v]);
    }
    return most;
}

void group_block(CreaseWork& work, std::ptrdiff_t block, float cos_threshold,
                 CreaseGroup* groups) noexcept {
    Incident* const entries = work.entries.get();
    uint32_t* const group_of = work.corners.get();  // per entry, from now on
    uint32_t block_groups = 0;
    for (std::ptrdiff_t v = block_begin(block); v < block_end(work, block); ++v) {
        const uint32_t begin = work.offsets[v];
        const uint32_t end = work.offsets[v + 1];
        work.groups_of_vertex[v] = 0;
        if (begin == end) continue;  // unused vertices produce no output vertex
        uint32_t made = 0;
        for (uint32_t i = begin; i < end; ++i) {
            const Vec3f& fn = entries[i].normal;
            uint32_t g = 0;
            while (g < made && !(dot(fn, groups[g].first) >= cos_threshold)) ++g;
            if (g == made) groups[made++] = {fn, {0.0f, 0.0f, 0.0f}, 0};
            CreaseGroup& group = groups[g];
            group.sum = {group.sum.x + fn.x, group.sum.y + fn.y, group.sum.z + fn.z};
            ++group.count;
            group_of[i] = g;
        }
        // A triangle's entries at v are adjacent; all its corners at v take
        // the vertex of the last-created group among them.
        for (uint32_t i = begin + 1; i < end; ++i) {
            if (same_triangle(entries[i], entries[i - 1]))
                group_of[i] = std::max(group_of[i], group_of[i - 1]);
        }
        for (uint32_t i = end - 1; i > begin; --i) {
            if (same_triangle(entries[i], entries[i - 1])) group_of[i - 1] = group_of[i];
        }
        // The vertex's entries are read: their normals make room for the
        // groups' (there are no more groups than entries).
        for (uint32_t g = 0; g < made; ++g) entries[begin + g].normal = group_normal(groups[g]);
        work.groups_of_vertex[v] = made;
        block_groups += made;
    }
    work.groups_of_block[block] = block_groups;
}

std::size_t block_bases(const CreaseWork& work, std::size_t* block_base) noexcept {
    std::size_t total = 0;
    for (std::ptrdiff_t b = 0; b < work.blocks(); ++b) {
        block_base[b] = total;
        total += work.groups_of_block[b];
    }
    return total;
}

void write_block(const CreaseWork& work, std::ptrdiff_t block, std::size_t base,
                 StridedRows<const float> pos, StridedRows<float> new_pos,
                 StridedRows<float> normals, StridedItems<uint32_t> sources,
                 StridedItems<uint32_t> corner_ids) noexcept {
    const uint32_t* const group_of = work.corners.get();
    auto row = static_cast<std::ptrdiff_t>(base);
    for (std::ptrdiff_t v = block_begin(block); v < block_end(work, block); ++v) {
        const auto first = static_cast<uint32_t>(row);
        if (work.groups_of_vertex[v] == 0) continue;
        const Vec3f p = load(pos, v);
        for (uint32_t g = 0; g < work.groups_of_vertex[v]; ++g, ++row) {
            store(new_pos, row, p);
            store(normals, row, work.entries[work.offsets[v] + g].normal);
            sources[row] = static_cast<uint32_t>(v);
        }
        for (uint32_t i = work.offsets[v]; i < work.offsets[v + 1]; ++i) {
            corner_ids[work.entries[i].place] = first + group_of[i];
        }
    }
}

}  // namespace gk::mesh
