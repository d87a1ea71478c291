// geokern_tools native: coordinates of WKB geometries (see wkb.hpp).
//
// One recursive walk over a blob serves all four functions; what it does
// with each header, count and coordinate is the visitor's.
#include "tools_native/wkb.hpp"

#include <cstring>

namespace gk::wkb {

namespace {

constexpr uint32_t kFlagZ = 0x80000000u;
constexpr uint32_t kFlagM = 0x40000000u;
constexpr uint32_t kFlagSrid = 0x20000000u;

enum class Layout { kPoint, kLine, kPolygon, kCollection };

// The layout of an ISO base type, false for codes that are no geometry.
bool layout_of(uint32_t base, Layout& layout) noexcept {
    switch (base) {
    case 1: layout = Layout::kPoint; return true;
    case 2:
    case 8: layout = Layout::kLine; return true;
    case 3:
    case 17: layout = Layout::kPolygon; return true;
    case 4:
    case 5:
    case 6:
    case 7:
    case 9:
    case 10:
    case 11:
    case 12:
    case 15:
    case 16: layout = Layout::kCollection; return true;
    default: return false;
    }
}

// A read position in one blob.  The byte order is that of the geometry
// being read; a nested geometry sets its own and the caller's is restored.
struct Cursor {
    const uint8_t* p;
    const uint8_t* end;
    bool swap = false;  // big-endian numbers (this code runs on x86-64 only)

    std::size_t left() const { return static_cast<std::size_t>(end - p); }

    bool u8(uint8_t& v) {
        if (left() < 1) return false;
        v = *p++;
        return true;
    }
    bool u32(uint32_t& v) {
        if (left() < 4) return false;
        std::memcpy(&v, p, 4);
        if (swap) v = __builtin_bswap32(v);
        p += 4;
        return true;
    }
    // The caller has checked that 8 bytes are left.
    double f64() {
        uint64_t bits;
        std::memcpy(&bits, p, 8);
        if (swap) bits = __builtin_bswap64(bits);
        p += 8;
        double v;
        std::memcpy(&v, &bits, 8);
        return v;
    }
};

struct Header {
    uint32_t base;  // ISO base type, 1..17
    bool z;
    bool m;
};

// Walks one geometry at `c`, calling the visitor's
//   bool header(const Header&)          before the body (false: stop, kChanged)
//   void count(uint32_t)                for each count written in the body
//   bool coordinates(Cursor&, uint32_t n, const Header&)   n coordinates at c,
//                                       whose bytes are known to be there
template <class Visitor>
Status walk(Cursor& c, int depth, Visitor& v) {
    if (depth > kMaxDepth) return Status::kTooDeep;
    uint8_t order;
    if (!c.u8(order)) return Status::kTruncated;
    if (order > 1) return Status::kBadByteOrder;
    const bool outer_swap = c.swap;
    c.swap = order == 0;
    uint32_t code;
    if (!c.u32(code)) return Status::kTruncated;
    if (code & kFlagSrid) {
        uint32_t srid;
        if (!c.u32(srid)) return Status::kTruncated;
    }
    const uint32_t iso = code & ~(kFlagZ | kFlagM | kFlagSrid);
    const uint32_t dims = iso / 1000;
    Header h{iso % 1000, (code & kFlagZ) != 0 || dims == 1 || dims == 3,
             (code & kFlagM) != 0 || dims == 2 || dims == 3};
    Layout layout;
    if (dims > 3 || !layout_of(h.base, layout)) return Status::kBadType;
    if (!v.header(h)) return Status::kChanged;
    const std::size_t coordinate_bytes = 8 * (2 + h.z + h.m);
    // n coordinates of this geometry at c, after checking they are there.
    auto coordinates = [&](uint32_t n) {
        if (n > c.left() / coordinate_bytes) return Status::kTruncated;
        return v.coordinates(c, n, h) ? Status::kOk : Status::kChanged;
    };
    uint32_t n;
    Status s = Status::kOk;
    switch (layout) {
    case Layout::kPoint: s = coordinates(1); break;
    case Layout::kLine:
        if (!c.u32(n)) return Status::kTruncated;
        v.count(n);
        s = coordinates(n);
        break;
    case Layout::kPolygon:
        if (!c.u32(n)) return Status::kTruncated;
            // Each ring takes at least its count's four bytes.
        if (n > c.left() / 4) return Status::kTruncated;
        v.count(n);
        for (uint32_t r = 0; r < n && s == Status::kOk; ++r) {
            uint32_t points;
            if (!c.u32(points)) return Status::kTruncated;
            v.count(points);
            s = coordinates(points);
        }
        break;
    case Layout::kCollection:
        if (!c.u32(n)) return Status::kTruncated;
            // Each part takes at least its byte order and type, five bytes.
        if (n > c.left() / 5) return Status::kTruncated;
        v.count(n);
        for (uint32_t k = 0; k < n && s == Status::kOk; ++k) s = walk(c, depth + 1, v);
        break;
    }
    c.swap = outer_swap;
    return s;
}

// Walks a whole blob: one geometry and nothing after it.
template <class Visitor>
Status walk_blob(Blob blob, Visitor& v) {
    Cursor c{blob.data, blob.data + blob.size};
    const Status s = walk(c, 0, v);
    if (s != Status::kOk) return s;
    return c.left() == 0 ? Status::kOk : Status::kTrailing;
}

struct Counter {
    uint64_t seen = 0;
    uint16_t summary = 0;
    bool outer = true;

    bool header(const Header& h) {
        if (outer) summary = static_cast<uint16_t>(h.base | (h.z ? kHasZ : 0) | (h.m ? kHasM : 0));
        outer = false;
        return true;
    }
    void count(uint32_t) {}
    bool coordinates(Cursor& c, uint32_t n, const Header& h) {
        c.p += static_cast<std::size_t>(n) * 8 * (2 + h.z + h.m);
        seen += n;
        return true;
    }
};

struct Reader {
    double* xyz;
    uint64_t left;

    bool header(const Header&) { return true; }
    void count(uint32_t) {}
    bool coordinates(Cursor& c, uint32_t n, const Header& h) {
        if (n > left) return false;
        left -= n;
        for (uint32_t k = 0; k < n; ++k) {
            xyz[0] = c.f64();
            xyz[1] = c.f64();
            xyz[2] = h.z ? c.f64() : 0.0;
            if (h.m) c.p += 8;
            xyz += 3;
        }
        return true;
    }
};

struct Sizer {
    bool force_z;
    uint64_t bytes = 0;
    uint64_t coordinates_seen = 0;

    bool header(const Header&) {
        bytes += 5;
        return true;
    }
    void count(uint32_t) { bytes += 4; }
    bool coordinates(Cursor& c, uint32_t n, const Header& h) {
        c.p += static_cast<std::size_t>(n) * 8 * (2 + h.z + h.m);
        bytes += static_cast<uint64_t>(n) * 8 * (2 + (h.z || force_z) + h.m);
        coordinates_seen += n;
        return true;
    }
};

struct Writer {
    const double* xyz;
    uint64_t left;
    bool force_z;
    uint8_t* out;
    uint64_t room;
    bool overflow = false;  // a write found no room

    bool put(const void* bytes, uint64_t size) {
        if (size > room) {
            overflow = true;
            return false;
        }
        std::memcpy(out, bytes, size);
        out += size;
        room -= size;
        return true;
    }
    bool put_u32(uint32_t v) { return put(&v, 4); }
    bool put_f64(double v) { return put(&v, 8); }

    bool header(const Header& h) {
        const bool z = h.z || force_z;
        const uint8_t order = 1;
        return put(&order, 1) && put_u32(h.base + (z ? 1000 : 0) + (h.m ? 2000 : 0));
    }
    void count(uint32_t n) { put_u32(n); }
    bool coordinates(Cursor& c, uint32_t n, const Header& h) {
        if (n > left) return false;
        left -= n;
        const bool z = h.z || force_z;
        for (uint32_t k = 0; k < n; ++k) {
            c.p += 8 * (2 + h.z);  // x, y and z are taken from xyz
            const double m = h.m ? c.f64() : 0.0;
            if (!put_f64(xyz[0]) || !put_f64(xyz[1]) || (z && !put_f64(xyz[2])) ||
                (h.m && !put_f64(m))) {
                return false;
            }
            xyz += 3;
        }
        return true;
    }
};

}  // namespace

const char* describe(Status status) noexcept {
    switch (status) {
    case Status::kOk: return "no error";
    case Status::kTruncated: return "truncated WKB (a count or a coordinate runs past its end)";
    case Status::kBadByteOrder: return "bad WKB byte order (expected 0 or 1)";
    case Status::kBadType: return "unknown WKB geometry type";
    case Status::kTooDeep: return "WKB collections nested too deep";
    case Status::kTrailing: return "bytes after the end of the WKB geometry";
    case Status::kChanged: return "the WKB changed while it was read";
    }
    return "bad WKB";
}

Status count(Blob blob, uint64_t& coordinates, uint16_t& summary) noexcept {
    Counter v;
    const Status s = walk_blob(blob, v);
    coordinates = v.seen;
    summary = v.summary;
    return s;
}

Status read(Blob blob, double* xyz, uint64_t capacity) noexcept {
    Reader v{xyz, capacity};
    const Status s = walk_blob(blob, v);
    if (s != Status::kOk) return s;
    return v.left == 0 ? Status::kOk : Status::kChanged;
}

Status rewritten_size(Blob blob, bool force_z, uint64_t& bytes, uint64_t& coordinates) noexcept {
    Sizer v{force_z};
    const Status s = walk_blob(blob, v);
    bytes = v.bytes;
    coordinates = v.coordinates_seen;
    return s;
}

Status rewrite(Blob blob, const double* xyz, uint64_t capacity, bool force_z, uint8_t* out,
               uint64_t out_size) noexcept {
    Writer v{xyz, capacity, force_z, out, out_size};
    const Status s = walk_blob(blob, v);
    if (s != Status::kOk) return s;
    return v.left == 0 && v.room == 0 && !v.overflow ? Status::kOk : Status::kChanged;
}

}  // namespace gk::wkb
