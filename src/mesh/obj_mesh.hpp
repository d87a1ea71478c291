// geokern mesh: the vertices, texture coordinates, faces and named
// statements of an OBJ text, read with the format's own meaning, for
// geokern_tools' OBJ reader.
//
// A line is a statement: a keyword, then fields, all separated by runs of
// blanks or tabs; "#" starts a comment anywhere; a line ending in "\" goes
// on in the next one (the two joined by a blank, numbered by the first).
// Lines end at "\n", "\r\n" or a lone "\r"; a UTF-8 byte-order mark at the
// start is skipped.  The statements read:
//   - "v x y z ...": a vertex; x, y, z are kept, further fields (a weight,
//     colours) are not read;
//   - "vt u [v [w]]": a texture vertex; missing values are 0;
//   - "f a b c ...": a polygon of three or more corners "v", "v/vt",
//     "v//vn" or "v/vt/vn"; a reference r > 0 is the r-th vertex (or
//     texture vertex) of the file, r < 0 counts back from the last one read
//     so far (-1 is the last), r = 0 is refused; vn is not read;
//   - "mtllib", "usemtl", "o", "g", "s": kept as text with the number of
//     faces before them, so that a writer can put them back in place;
//   - anything else (vn, vp, l, p, curves, unknown keywords) is skipped.
// Numbers are plain decimal text, [+-]?(d+(.d*)?|.d+)([eE][+-]?d+)?,
// rounded correctly; anything else, and values beyond the double range,
// are refused, so every coordinate read is finite.
//
// A byte below 0x20 other than a tab, a line break, "\v" or "\f" (one
// Ctrl-Z at the very end excepted) marks binary data, which is refused
// before anything else is read.  Faults are reported with the line they
// are on; a positive reference past the vertices read so far is allowed
// and checked against the whole file at its end.
//
// Time and memory are linear in the text.
#pragma once

#include "core/huge_pages.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gk::mesh {

// A corner without a texture vertex, in ObjMesh::corner_texcoords.
inline constexpr uint32_t kNoTexcoord = 0xFFFFFFFFu;

// References at or above this are refused: the indices go out as uint32,
// and kNoTexcoord must stay free.
inline constexpr int64_t kMostObjElements = 0xFFFFFFFFll;

// A kept statement: its text from the keyword to the end of the line
// (comment cut, blanks trimmed), its line and the faces read before it.
struct ObjStatement {
    std::size_t faces_before;
    std::size_t line;
    std::string text;
};

template <class T>
using BigVector = std::vector<T, HugePageAllocator<T>>;

struct ObjMesh {
    BigVector<double> vertices;            // x, y, z of each vertex
    std::vector<double> texcoords;         // u, v, w of each texture vertex
    int texcoord_width = 0;                // most values one vt line gave
    BigVector<uint32_t> corner_vertices;   // zero-based, face after face
    // Zero-based texture vertex of each corner (kNoTexcoord for none);
    // empty while no corner names one.
    BigVector<uint32_t> corner_texcoords;
    // Corners of each face; empty while every face is a triangle.
    BigVector<uint32_t> face_sizes;
    std::size_t faces = 0;
    std::vector<ObjStatement> statements;
};

// Why reading stopped early.  `line` is 1-based.
struct ObjFault {
    std::size_t line = 0;
    std::string message;
};

enum class ObjScan { ok, fault, stopped };

// The offset of the first byte of `text` that marks binary data (see
// above), or text.size().
std::size_t find_binary(std::string_view text) noexcept;

// Called about every 8 MiB of text; false stops the reading (Ctrl-C).
using KeepGoing = bool (*)(void* context);

// Reads `text` into `mesh` (which must be empty).  On ObjScan::fault the
// fault is described in `fault`; on ObjScan::stopped keep_going returned
// false.  `mesh` is then partly filled.  May throw std::bad_alloc.
ObjScan read_obj_mesh(std::string_view text, ObjMesh& mesh, ObjFault& fault, KeepGoing keep_going,
                      void* context);

}  // namespace gk::mesh
