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
// The split runs in four stages over one CreaseWork.  Stages 1, 3 and 4
// work on blocks (of triangles, of kVertexBlock vertices) that depend on no
// other block of the same stage, so blocks may run on any thread in any
// order and the result is the same bits.
//   1. copy_corners: the corner indices into a private copy, each read
//      once, and the unit face normals of the triangles.
//   2. count_corners .. restore_offsets: the triangles around every vertex,
//      each vertex range built by one thread.
//   3. group_block: the groups of every vertex of a block.
//   4. write_block: the output vertices of a block and its corner numbers.
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

// Vertices per block of stages 3 and 4.
inline constexpr std::ptrdiff_t kVertexBlock = 1024;

// A triangle corner at a vertex: its place 3t + c and the unit normal of
// triangle t.
struct Incident {
    uint32_t place;
    Vec3f normal;
};

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
    // Stage 1: corner c of triangle t at 3t + c.  From stage 3 on, the
    // same memory holds the group number of every incidence entry.
    WorkArray<uint32_t> corners;
    WorkArray<Vec3f> face;  // unit normal of every triangle
    // Stage 2: the corners at vertex v are entries[offsets[v] ..
    // offsets[v + 1]), by ascending t, then c.  Each carries its triangle's
    // normal, so that grouping reads its input in one sweep.
    WorkArray<uint32_t> offsets;
    WorkArray<Incident> entries;
    // Stage 3: the number of output vertices of each vertex and block; the
    // normal of group g of vertex v replaces entries[offsets[v] + g].normal
    // (a vertex has no more groups than entries).
    WorkArray<uint32_t> groups_of_vertex;
    WorkArray<uint32_t> groups_of_block;

    std::ptrdiff_t blocks() const noexcept {
        return (vertex_count + kVertexBlock - 1) / kVertexBlock;
    }
};

// Stage 1 for triangles first .. end - 1 of `tris` (rows of three vertex
// indices in memory that another thread may write: each is read once, and
// only the copy is used).  Returns false when a copied index is at or
// above `limit`, the number of rows of `pos`; the block's face normals
// are then not computed, and the split must stop after this stage.
bool copy_corners(StridedRows<const float> pos, StridedRows<const uint32_t> tris,
                  std::ptrdiff_t first, std::ptrdiff_t end, uint64_t limit,
                  CreaseWork& work) noexcept;

// Stage 2, once all corners are copied and below vertex_count, in four
// steps, the first and third over vertex ranges that may run at the same
// time (each reads all corners and writes only what its vertices own):
// count_corners for every range, sum_counts, fill_incidence for every
// range, restore_offsets.
void count_corners(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept;
void sum_counts(CreaseWork& work) noexcept;
void fill_incidence(CreaseWork& work, std::ptrdiff_t first, std::ptrdiff_t end) noexcept;
void restore_offsets(CreaseWork& work) noexcept;

// Stage 3 for vertex block `block`; `groups` has room for the largest
// number of corners at one vertex (most_corners()).  Writes the number of
// output vertices of each vertex and of the block.
void group_block(CreaseWork& work, std::ptrdiff_t block, float cos_threshold,
                 CreaseGroup* groups) noexcept;
std::size_t most_corners(const CreaseWork& work) noexcept;

// The output rows of every block: block_base[b] is the first output vertex
// of block b; returns the number of output vertices.
std::size_t block_bases(const CreaseWork& work, std::size_t* block_base) noexcept;

// Stage 4 for vertex block `block`, whose first output vertex is `base`:
// rows base .. of `new_pos` (the source vertex's row of `pos`), `normals`
// and `sources`, and corner_ids[3t + c] for every corner at its vertices.
void write_block(const CreaseWork& work, std::ptrdiff_t block, std::size_t base,
                 StridedRows<const float> pos, StridedRows<float> new_pos,
                 StridedRows<float> normals, StridedItems<uint32_t> sources,
                 StridedItems<uint32_t> corner_ids) noexcept;

}  // namespace gk::mesh
