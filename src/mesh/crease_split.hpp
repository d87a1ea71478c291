// geokern mesh: crease-angle splitting of shared vertices.
//
// Around each source vertex the incident triangles are grouped greedily:
// a triangle joins the first group (in creation order) whose first
// triangle's unit normal has a dot product with its own of at least the
// cosine of the crease angle, or opens a new group.  Each group becomes one
// output vertex carrying the renormalised, unweighted mean of its unit face
// normals, and the group's triangle corners at that vertex are renumbered
// to it.  Output vertices are numbered by ascending source vertex, then by
// group creation order.
//
// Precision: face normals are float32 ((p1 - p0) x (p2 - p0) divided by
// max(|n|, 1e-8)); dot products are float32 sums taken left to right and
// compared with the cosine of the clamped angle (a double) rounded to
// float32; a group's mean is a float32
// sum in list order divided by the count, and is renormalised when its
// length (float32 squares summed in double, rounded to float32, float32
// root), as a double, exceeds 1e-8, else replaced by (0, 0, 1).
#pragma once

#include "core/strided.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace gk::mesh {

// The crease angle in degrees clamped to 0 .. 180: NaN and values of 180
// or more give 180, values of 0 or less give 0.
float clamp_crease_angle(float angle_deg) noexcept;

// The output vertices, in numbering order.
struct CreaseVertices {
    std::vector<float> normals;     // three per output vertex
    std::vector<uint32_t> sources;  // source vertex of each output vertex
    bool stopped = false;           // keep_going said no: the split is incomplete
};

// Splits the `num_tris` triangles of `tris` (rows of three vertex indices,
// each below `vertex_count`, the number of rows of `pos`; memory that
// nothing else writes meanwhile, as the indices address the working
// arrays) and writes the
// output vertex of corner c of triangle t to corner_ids[3t + c].  A
// triangle that uses a vertex at two corners goes through the grouping
// twice; its corners there take the later group's vertex.  Every
// `check_every` vertices, keep_going() may stop the split (Ctrl-C).
// Throws std::bad_alloc when the working arrays cannot be allocated.
CreaseVertices split_creases(StridedRows<const float> pos, std::ptrdiff_t vertex_count,
                             StridedRows<const uint32_t> tris, std::ptrdiff_t num_tris,
                             float cos_threshold, StridedItems<uint32_t> corner_ids,
                             std::ptrdiff_t check_every, const std::function<bool()>& keep_going);

// Row j of `new_pos`, `normals` and item j of `sources` for output vertex
// j of `split`: the row of `pos` of its source vertex, its normal, its
// source vertex.  Every source must be a row of `pos`.
void write_crease_vertices(StridedRows<const float> pos, const CreaseVertices& split,
                           StridedRows<float> new_pos, StridedRows<float> normals,
                           StridedItems<uint32_t> sources) noexcept;

}  // namespace gk::mesh
