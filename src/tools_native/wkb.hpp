// geokern_tools native: coordinates of well-known binary (WKB) geometries,
// read out and written back.
//
// A blob is one geometry as WKB: a byte-order byte (0 big-endian, 1
// little-endian), a uint32 type code, then the body, every number in the
// blob's byte order:
//   point (1)                          one coordinate
//   linestring (2), circularstring (8) uint32 n, n coordinates
//   polygon (3), triangle (17)         uint32 rings, per ring uint32 n, n coordinates
//   every other type: multipoint (4), multilinestring (5), multipolygon (6),
//   geometrycollection (7), compoundcurve (9), curvepolygon (10),
//   multicurve (11), multisurface (12), polyhedralsurface (15), tin (16)
//                                      uint32 n, n blobs (each with its own
//                                      byte order and type)
// A coordinate is x, y, then z and m where the type says so, as doubles.
// The dimensions come as ISO codes (type + 1000 Z, + 2000 M, + 3000 ZM) or as
// the flags of extended WKB (0x80000000 Z, 0x40000000 M, 0x20000000: a uint32
// SRID follows the type).  Each nested blob keeps the dimensions its own code
// gives.  An empty point is written with NaN coordinates; it counts as one
// coordinate here.
// Source: OGC 06-103r4 (Simple Feature Access, common architecture, 8.2)
// and ISO/IEC 13249-3 for the ISO codes; PostGIS's extended WKB for the
// flags.
//
// The functions check the structure as they go: every count against the
// bytes that are left, nesting deeper than kMaxDepth levels, unknown types,
// bytes after the geometry.  They never read outside [data, data + size) and
// never write outside the buffers they are given; they do not allocate and
// do not throw.  Rewritten blobs are little-endian ISO WKB (SRIDs dropped).
#pragma once

#include <cstddef>
#include <cstdint>

namespace gk::wkb {

inline constexpr int kMaxDepth = 32;

enum class Status : uint8_t {
    kOk = 0,
    kTruncated,       // a count or a coordinate runs past the end of the blob
    kBadByteOrder,    // a byte-order byte other than 0 or 1
    kBadType,         // a type code that is no geometry type
    kTooDeep,         // collections nested deeper than kMaxDepth
    kTrailing,        // bytes after the geometry
    kChanged,         // the blob changed between two passes over it
};

// Text for a status, e.g. "truncated WKB".
const char* describe(Status status) noexcept;

// The summary of a blob: its outer type (1..17) and dimension flags.
inline constexpr uint16_t kTypeMask = 0xff;
inline constexpr uint16_t kHasZ = 0x100;
inline constexpr uint16_t kHasM = 0x200;

struct Blob {
    const uint8_t* data;
    std::size_t size;
};

// The number of coordinates of `blob` and its summary.
Status count(Blob blob, uint64_t& coordinates, uint16_t& summary) noexcept;

// Reads x, y and z of each of the `capacity` coordinates of `blob` into
// xyz[0 .. 3 capacity) in order; z is 0 where a geometry has none.  kChanged
// when the blob holds another number of coordinates.
Status read(Blob blob, double* xyz, uint64_t capacity) noexcept;

// The size of `blob` rewritten (with a z on every coordinate if `force_z`)
// and its number of coordinates.
Status rewritten_size(Blob blob, bool force_z, uint64_t& bytes, uint64_t& coordinates) noexcept;

// Writes `blob` rewritten into out[0 .. out_size): the same geometry with the
// x, y (and z, where written) of its coordinates taken in order from the
// `capacity` triples of `xyz`, and its m values as they are.  A z is written
// where the geometry has one, or everywhere if `force_z`.  kChanged when the
// blob holds another number of coordinates or needs another size.
Status rewrite(Blob blob, const double* xyz, uint64_t capacity, bool force_z, uint8_t* out,
               uint64_t out_size) noexcept;

}  // namespace gk::wkb
