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
// float32; a group's mean is a float32 sum in list order divided by the
// count, and is renormalised when its length (float32 squares summed in
// double, rounded to float32, float32 root), as a double, exceeds 1e-8,
// else replaced by (0, 0, 1).
//
// The split runs serially, in stages over one CreaseWork, each stage in
// blocks (of triangles, of kVertexBlock vertices) taken in ascending order,
// so that the caller may look for interruptions between blocks:
//   1. copy_corners: the corner indices into a private copy, each read
//      once, and checked against the number of vertices.
//   2. count_corners, then sum_counts, then fill_incidence, then
//      restore_offsets: the corners at every vertex, by ascending place.
//   3. face_normals: the unit normal of every triangle, over its corners.
//   4. group_block: the groups of every vertex, their normals and the
//      output vertex of every corner.
//   5. write_block: the output vertices' positions, normals and sources.
// Working memory: 24 bytes per triangle, 4 per vertex and 12 per output
// vertex.
#pragma once

#include "core/strided.hpp"
#include "mesh/vec3.hpp"
#include "mesh/work_array.hpp"

#include <cstddef>
#include <cstdint>

namespace gk::mesh {

// The crease angle in degrees clamped to 0 .. 180: NaN and values of 180
// or more give 180, values of 0 or less give 0.
float clamp_crease_angle(float angle_deg) noexcept;

// Vertices per block of stages 4 and 5.
inline constexpr std::ptrdiff_t kVertexBlock = 1024;

// One group of triangles around the vertex being grouped.
struct CreaseGroup {
    Vec3f first;  // unit normal of the triangle the others are compared with
    Vec3f sum;    // of the members' unit normals, in list order
    uint32_t count;
};

// The working arrays of one split of `num_tris` triangles over
// `vertex_count` vertices (3 * num_tris must fit in uint32), allocated
// without touching their memory; throws std::bad_alloc.
struct CreaseWork {
    CreaseWork(std::ptrdiff_t vertex_count, std::ptrdiff_t num_tris);

    std::ptrdiff_t vertex_count;
    std::ptrdiff_t num_tris;
    // Three words per triangle t, at 3t: its corners c = 0, 1, 2 in
    // stages 1 and 2 (corner c at 3t + c); from stage 3 on, the bits of its
    // unit normal (x, y, z).
    WorkArray<uint32_t> corners_then_normals;
    // Stage 2: the corners at vertex v are places[offsets[v] ..
    // offsets[v + 1]), each as its place 3t + c, by ascending place.
    // Grouping v reads offsets[v] for the last time and replaces it by the
    // number of output vertices of v.
    WorkArray<uint32_t> offsets;
    WorkArray<uint32_t> places;
    // Stage 4: the normal of every output vertex, in output order; room
    // for one per corner, of which only the pages written become resident.
    WorkArray<Vec3f> normals;
    std::size_t outputs = 0;  // output vertices made so far

    std::ptrdiff_t blocks() const noexcept {
        return (vertex_count + kVertexBlock - 1) / kVertexBlock;
    }
    // The arrays of stages 1 to 4, once grouping is done.
    void release_incidence() noexcept {
        corners_then_normals.release();
        places.release();
    }
};

// Stage 1 for triangles first .. end - 1 of `tris` (rows of three vertex
// indices in memory that another thread may write: each is read once, and
// only the copy is used).  Returns false when a copied index is at or
// above vertex_count; the split must then stop after this stage.
bool copy_corners(StridedRows<const uint32_t> tris, std::ptrdiff_t first, std::ptrdiff_t end,
                  CreaseWork& work) noexcept;

// Stage 2, once all corners are copied and below vertex_count:
// start_counts, count_corners over every triangle block in turn,
// sum_counts, fill_incidence over every triangle block in ascending order,
// restore_offsets.
void start_counts(CreaseWork& work) noexcept;
void count_corners(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept;
void sum_counts(CreaseWork& work) noexcept;
void fill_incidence(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept;
void restore_offsets(CreaseWork& work) noexcept;

// Stage 3 for triangles first .. end - 1, after stage 2, with `pos` the
// positions the corners index.
void face_normals(StridedRows<const float> pos, std::ptrdiff_t first, std::ptrdiff_t end,
                  CreaseWork& work) noexcept;

// The largest number of corners at one vertex, after stage 2.
std::size_t most_corners(const CreaseWork& work) noexcept;

// Room for grouping the corners of one vertex: `groups`, `group_of` and
// `open` hold most_corners() items each.
struct GroupRoom {
    CreaseGroup* groups;
    uint32_t* group_of;  // the group of each corner of the vertex, in list order
    uint32_t* open;      // the groups a later triangle may join, in the order made
};

// Stage 4 for vertex block `block`, blocks in ascending order: the groups
// of its vertices, their normals into work.normals and the output vertex
// of every corner at them into corner_ids[3t + c] (only written).
void group_block(CreaseWork& work, std::ptrdiff_t block, float cos_threshold, GroupRoom room,
                 StridedItems<uint32_t> corner_ids) noexcept;

// Stage 5 for vertex block `block`, blocks in ascending order from output
// row 0: rows `row` .. of `new_pos` (the source vertex's row of `pos`),
// `normals` and `sources`.  Returns the row after the block's last.
std::size_t write_block(const CreaseWork& work, std::ptrdiff_t block, std::size_t row,
                        StridedRows<const float> pos, StridedRows<float> new_pos,
                        StridedRows<float> normals, StridedItems<uint32_t> sources) noexcept;

}  // namespace gk::mesh
