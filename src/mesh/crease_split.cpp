// geokern mesh: crease-angle splitting (see crease_split.hpp).
//
// The triangles around a vertex come from a compressed incidence table: a
// counting pass over all corners, a prefix sum into row offsets, and a
// fill pass in triangle order, so each vertex's list is in ascending
// triangle order with a triangle repeated once per corner at the vertex.
// Grouping costs (incident triangles) x (groups) dot products per vertex.
#include "mesh/crease_split.hpp"

#include "mesh/vec3.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace gk::mesh {

namespace {

// Shorter face normals are divided by this instead of their length, so a
// zero-area triangle gets (0, 0, 0).
constexpr float kMinFaceLength = 1e-8f;

// Unit normal of every triangle.  A NaN length stays NaN (max keeps its
// first operand when the comparison fails).
std::vector<Vec3f> unit_face_normals(const StridedRows<const float>& pos,
                                     const StridedRows<const uint32_t>& tris,
                                     std::ptrdiff_t num_tris) {
    std::vector<Vec3f> normals(static_cast<std::size_t>(num_tris));
    for (std::ptrdiff_t t = 0; t < num_tris; ++t) {
        const Vec3f c =
            face_cross(load(pos, tris(t, 0)), load(pos, tris(t, 1)), load(pos, tris(t, 2)));
        const float l = std::max(length(c), kMinFaceLength);
        normals[static_cast<std::size_t>(t)] = {c.x / l, c.y / l, c.z / l};
    }
    return normals;
}

// Vertex-to-triangle incidence: the triangles of vertex v are
// triangles[offsets[v] .. offsets[v + 1]).
struct Incidence {
    std::vector<std::size_t> offsets;
    std::vector<uint32_t> triangles;
};

Incidence build_incidence(const StridedRows<const uint32_t>& tris, std::ptrdiff_t num_tris,
                          std::ptrdiff_t vertex_count) {
    Incidence in;
    in.offsets.assign(static_cast<std::size_t>(vertex_count) + 1, 0);
    for (std::ptrdiff_t t = 0; t < num_tris; ++t) {
        for (int c = 0; c < 3; ++c) {
            assert(tris(t, c) < static_cast<uint64_t>(vertex_count));
            ++in.offsets[tris(t, c) + 1];
        }
    }
    for (std::size_t v = 1; v < in.offsets.size(); ++v) in.offsets[v] += in.offsets[v - 1];
    in.triangles.resize(in.offsets.back());
    std::vector<std::size_t> next(in.offsets.begin(), in.offsets.end() - 1);
    for (std::ptrdiff_t t = 0; t < num_tris; ++t) {
        for (int c = 0; c < 3; ++c) in.triangles[next[tris(t, c)]++] = static_cast<uint32_t>(t);
    }
    return in;
}

inline float dot(const Vec3f& a, const Vec3f& b) noexcept {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

// One group of triangles around the current vertex.
struct Group {
    uint32_t first;  // the triangle the others are compared with
    Vec3f sum;       // of the members' unit normals, in list order
    std::size_t count;
};

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
Vec3f group_normal(const Group& g) noexcept {
    const double count = static_cast<double>(g.count);
    const Vec3f mean{static_cast<float>(g.sum.x / count), static_cast<float>(g.sum.y / count),
                     static_cast<float>(g.sum.z / count)};
    const float l = mean_length(mean);
    if (static_cast<double>(l) > 1e-8) return {mean.x / l, mean.y / l, mean.z / l};
    return {0.0f, 0.0f, 1.0f};
}

}  // namespace

float clamp_crease_angle(float angle_deg) noexcept {
    if (!(angle_deg < 180.0f)) return 180.0f;
    return angle_deg <= 0.0f ? 0.0f : angle_deg;
}

CreaseVertices split_creases(StridedRows<const float> pos, std::ptrdiff_t vertex_count,
                             StridedRows<const uint32_t> tris, std::ptrdiff_t num_tris,
                             float cos_threshold, StridedItems<uint32_t> corner_ids,
                             std::ptrdiff_t check_every, const std::function<bool()>& keep_going) {
    const std::vector<Vec3f> face = unit_face_normals(pos, tris, num_tris);
    CreaseVertices out;
    if (num_tris > check_every && !keep_going()) {
        out.stopped = true;
        return out;
    }
    const Incidence in = build_incidence(tris, num_tris, vertex_count);

    std::size_t most = 0;
    for (std::ptrdiff_t v = 0; v < vertex_count; ++v) {
        most = std::max(most, in.offsets[v + 1] - in.offsets[v]);
    }
    std::vector<Group> groups(most);
    std::vector<uint32_t> group_of(most);  // per incidence entry of the vertex

    out.normals.reserve(3 * static_cast<std::size_t>(vertex_count));
    out.sources.reserve(static_cast<std::size_t>(vertex_count));
    for (std::ptrdiff_t v = 0; v < vertex_count; ++v) {
        if (v % check_every == 0 && v > 0 && !keep_going()) {
            out.stopped = true;
            return out;
        }
        const uint32_t* faces = in.triangles.data() + in.offsets[v];
        const std::size_t n = in.offsets[v + 1] - in.offsets[v];
        if (n == 0) continue;  // unused vertices produce no output vertex

        std::size_t made = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3f& fn = face[faces[i]];
            std::size_t g = 0;
            while (g < made && !(dot(fn, face[groups[g].first]) >= cos_threshold)) ++g;
            if (g == made) groups[made++] = {faces[i], {0.0f, 0.0f, 0.0f}, 0};
            Group& group = groups[g];
            group.sum = {group.sum.x + fn.x, group.sum.y + fn.y, group.sum.z + fn.z};
            ++group.count;
            group_of[i] = static_cast<uint32_t>(g);
        }

        const std::size_t base = out.sources.size();
        for (std::size_t g = 0; g < made; ++g) {
            const Vec3f normal = group_normal(groups[g]);
            out.normals.insert(out.normals.end(), {normal.x, normal.y, normal.z});
            out.sources.push_back(static_cast<uint32_t>(v));
        }

        // A triangle's entries at v are adjacent in the list; its corners
        // at v take the vertex of the last-created group among them.
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t t = faces[i];
            uint32_t g = group_of[i];
            if (i > 0 && faces[i - 1] == t) g = std::max(g, group_of[i - 1]);
            group_of[i] = g;
            const auto id = static_cast<uint32_t>(base + g);
            for (int c = 0; c < 3; ++c) {
                if (tris(t, c) == static_cast<uint32_t>(v))
                    corner_ids[3 * std::ptrdiff_t{t} + c] = id;
            }
        }
    }
    return out;
}

void write_crease_vertices(StridedRows<const float> pos, const CreaseVertices& split,
                           StridedRows<float> new_pos, StridedRows<float> normals,
                           StridedItems<uint32_t> sources) noexcept {
    for (std::size_t j = 0; j < split.sources.size(); ++j) {
        const uint32_t v = split.sources[j];
        const auto row = static_cast<std::ptrdiff_t>(j);
        for (int k = 0; k < 3; ++k) {
            new_pos(row, k) = pos(v, k);
            normals(row, k) = split.normals[3 * j + k];
        }
        sources[row] = v;
    }
}

}  // namespace gk::mesh
