// geokern mesh: the vertices, texture coordinates, faces and named
// statements of an OBJ text (see obj_mesh.hpp).
#include "mesh/obj_mesh.hpp"

#include "core/line_break.hpp"
#include "obb/numbers.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace gk::mesh {

using core::find_line_break;

namespace {

constexpr std::size_t kBytesPerCheck = std::size_t{8} << 20;
constexpr std::size_t kQuotedBytes = 40;  // of a field quoted in a message
constexpr char kCtrlZ = '\x1a';           // an old end-of-file mark

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// A control byte that no text holds: below 0x20 and not one of "\t", "\n",
// "\v", "\f", "\r" (9 .. 13).
bool is_binary_byte(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 && static_cast<unsigned char>(u - 9) > 4;
}

}  // namespace

// Blocks are tested whole, without an early exit, so that the test
// vectorises.
std::size_t find_binary(std::string_view text) noexcept {
    constexpr std::size_t kBlock = 4096;
    for (std::size_t begin = 0; begin < text.size(); begin += kBlock) {
        const std::size_t end = std::min(text.size(), begin + kBlock);
        bool any = false;
        for (std::size_t i = begin; i < end; ++i) any |= is_binary_byte(text[i]);
        if (!any) continue;
        for (std::size_t i = begin; i < end; ++i) {
            if (is_binary_byte(text[i])) return i;
        }
    }
    return text.size();
}

namespace {

// Where the line that breaks at `brk` is followed by the next one.
const char* after_break(const char* brk, const char* end) noexcept {
    if (brk == end) return end;
    return brk[0] == '\r' && brk + 1 < end && brk[1] == '\n' ? brk + 2 : brk + 1;
}

// The number of the line that ends `text` (1 for text without a break).
std::size_t line_count(std::string_view text) noexcept {
    std::size_t count = 1;
    const char* end = text.data() + text.size();
    for (const char* p = find_line_break(text.data(), end); p < end;
         p = find_line_break(after_break(p, end), end)) {
        ++count;
    }
    return count;
}

// The next field of [p, e), blanks skipped; empty at the end of the line
// and at a comment, which ends the line.
std::string_view next_field(const char*& p, const char* e) noexcept {
    while (p < e && is_blank(*p)) ++p;
    if (p == e || *p == '#') {
        p = e;
        return {};
    }
    const char* begin = p;
    while (p < e && !is_blank(*p) && *p != '#') ++p;
    return {begin, static_cast<std::size_t>(p - begin)};
}

// [+-]?d{1,18}, the whole field.
bool parse_reference(std::string_view field, int64_t& value) noexcept {
    const char* p = field.data();
    const char* end = p + field.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || end - p > 18) return false;
    int64_t parsed = 0;
    for (; p < end; ++p) {
        const auto digit = static_cast<unsigned char>(*p - '0');
        if (digit > 9) return false;
        parsed = parsed * 10 + digit;
    }
    value = negative ? -parsed : parsed;
    return true;
}

std::string quoted(std::string_view field) {
    std::string text = "'";
    text.append(field.substr(0, kQuotedBytes));
    if (field.size() > kQuotedBytes) text.append("...");
    text.append("'");
    return text;
}

class Reader {
public:
    Reader(ObjMesh& mesh, ObjFault& fault) : mesh_(mesh), fault_(fault) {}

    ObjScan run(std::string_view text, KeepGoing keep_going, void* context);

private:
    bool statement(const char* p, const char* e);
    bool vertex(const char* p, const char* e);
    bool texcoord(const char* p, const char* e);
    bool face(const char* p, const char* e);
    void keep(const char* key, const char* e);
    bool references_in_file();

    // A face's references past the elements read before it (1-based; 0:
    // none), checked against the whole file at its end.
    struct Ahead {
        std::size_t line;
        uint64_t vertex;
        uint64_t texcoord;
    };

    bool fail(std::string message) {
        fault_.line = line_;
        fault_.message = std::move(message);
        return false;
    }

    ObjMesh& mesh_;
    ObjFault& fault_;
    std::size_t line_ = 0;
    std::string joined_;
    std::vector<Ahead> ahead_;
    bool polygons_ = false;  // a face other than a triangle was read
};

ObjScan Reader::run(std::string_view text, KeepGoing keep_going, void* context) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (text.ends_with(kCtrlZ)) text.remove_suffix(1);
    if (const std::size_t at = find_binary(text); at < text.size()) {
        line_ = line_count(text.substr(0, at));
        char message[96];
        std::snprintf(message, sizeof message, "binary data (byte 0x%02x), not an OBJ text",
                      static_cast<unsigned char>(text[at]));
        fail(message);
        return ObjScan::fault;
    }
    const char* begin = text.data();
    const char* end = begin + text.size();
    std::size_t next_check = kBytesPerCheck;
    std::size_t physical = 0;
    for (const char* p = begin; p < end;) {
        if (static_cast<std::size_t>(p - begin) >= next_check) {
            if (!keep_going(context)) return ObjScan::stopped;
            next_check += kBytesPerCheck;
        }
        const char* brk = find_line_break(p, end);
        line_ = ++physical;
        if (brk == p || brk[-1] != '\\') {
            if (!statement(p, brk)) return ObjScan::fault;
            p = after_break(brk, end);
            continue;
        }
        // Continued lines are joined by blanks, in a copy.
        joined_.assign(p, brk - 1);
        p = after_break(brk, end);
        while (p < end) {
            brk = find_line_break(p, end);
            ++physical;
            const bool more = brk > p && brk[-1] == '\\';
            joined_.push_back(' ');
            joined_.append(p, more ? brk - 1 : brk);
            p = after_break(brk, end);
            if (!more) break;
        }
        if (!statement(joined_.data(), joined_.data() + joined_.size())) return ObjScan::fault;
    }
    return references_in_file() ? ObjScan::ok : ObjScan::fault;
}

bool Reader::statement(const char* p, const char* e) {
    const std::string_view key = next_field(p, e);
    if (key.empty()) return true;
    if (key == "v") return vertex(p, e);
    if (key == "f") return face(p, e);
    if (key == "vt") return texcoord(p, e);
    if (key == "usemtl" || key == "mtllib" || key == "o" || key == "g" || key == "s") {
        keep(key.data(), e);
    }
    return true;
}

bool Reader::vertex(const char* p, const char* e) {
    double xyz[3];
    for (double& value : xyz) {
        const std::string_view field = next_field(p, e);
        if (field.empty()) return fail("a vertex needs three coordinates");
        if (!obb::parse_plain_float(field, value)) {
            return fail("vertex coordinates must be numbers, not " + quoted(field));
        }
    }
    if (mesh_.vertices.size() / 3 >= kMostObjElements - 1) return fail("too many vertices");
    mesh_.vertices.insert(mesh_.vertices.end(), xyz, xyz + 3);
    return true;
}

bool Reader::texcoord(const char* p, const char* e) {
    double uvw[3] = {0.0, 0.0, 0.0};
    int count = 0;
    for (; count < 3; ++count) {
        const std::string_view field = next_field(p, e);
        if (field.empty()) break;
        if (!obb::parse_plain_float(field, uvw[count])) {
            return fail("texture coordinates must be numbers, not " + quoted(field));
        }
    }
    if (count == 0) return fail("a texture vertex needs a coordinate");
    if (mesh_.texcoords.size() / 3 >= kMostObjElements - 1)
        return fail("too many texture vertices");
    mesh_.texcoords.insert(mesh_.texcoords.end(), uvw, uvw + 3);
    mesh_.texcoord_width = std::max(mesh_.texcoord_width, count);
    return true;
}

// Resolves reference `ref` among `count` elements read so far into a
// zero-based `index`; a positive one past them raises `ahead` to it.
bool resolve(int64_t ref, std::size_t count, uint32_t& index, uint64_t& ahead) noexcept {
    if (ref > 0) {
        if (ref >= kMostObjElements) return false;
        if (static_cast<uint64_t>(ref) > count) ahead = std::max(ahead, static_cast<uint64_t>(ref));
        index = static_cast<uint32_t>(ref - 1);
        return true;
    }
    const int64_t back = static_cast<int64_t>(count) + ref;
    if (ref == 0 || back < 0) return false;
    index = static_cast<uint32_t>(back);
    return true;
}

bool Reader::face(const char* p, const char* e) {
    const std::size_t vertices = mesh_.vertices.size() / 3;
    const std::size_t texcoords = mesh_.texcoords.size() / 3;
    auto& corners = mesh_.corner_vertices;
    auto& corner_texcoords = mesh_.corner_texcoords;
    Ahead ahead{line_, 0, 0};
    uint32_t count = 0;
    for (std::string_view field; !(field = next_field(p, e)).empty(); ++count) {
        const std::size_t slash = std::min(field.find('/'), field.size());
        int64_t ref;
        uint32_t index;
        if (!parse_reference(field.substr(0, slash), ref)) {
            return fail("bad vertex reference " + quoted(field));
        }
        if (!resolve(ref, vertices, index, ahead.vertex)) {
            return fail("vertex reference " + std::to_string(ref) + " out of range");
        }
        corners.push_back(index);
        std::string_view texture = slash < field.size() ? field.substr(slash + 1) : "";
        texture = texture.substr(0, std::min(texture.find('/'), texture.size()));
        if (texture.empty()) {
            if (!corner_texcoords.empty()) corner_texcoords.push_back(kNoTexcoord);
            continue;
        }
        if (!parse_reference(texture, ref)) {
            return fail("bad texture coordinate reference " + quoted(field));
        }
        if (!resolve(ref, texcoords, index, ahead.texcoord)) {
            return fail("texture coordinate reference " + std::to_string(ref) + " out of range");
        }
        if (corner_texcoords.empty()) corner_texcoords.assign(corners.size() - 1, kNoTexcoord);
        corner_texcoords.push_back(index);
    }
    if (count < 3) return fail("a face needs at least three vertices");
    if (count != 3 && !polygons_) {
        mesh_.face_sizes.assign(mesh_.faces, 3);
        polygons_ = true;
    }
    if (polygons_) mesh_.face_sizes.push_back(count);
    ++mesh_.faces;
    if (ahead.vertex != 0 || ahead.texcoord != 0) ahead_.push_back(ahead);
    return true;
}

void Reader::keep(const char* key, const char* e) {
    const char* cut =
        static_cast<const char*>(std::memchr(key, '#', static_cast<std::size_t>(e - key)));
    const char* stop = cut ? cut : e;
    while (stop > key && is_blank(stop[-1])) --stop;
    mesh_.statements.push_back({mesh_.faces, line_, std::string(key, stop)});
}

bool Reader::references_in_file() {
    const std::size_t vertices = mesh_.vertices.size() / 3;
    const std::size_t texcoords = mesh_.texcoords.size() / 3;
    for (const Ahead& ahead : ahead_) {
        line_ = ahead.line;
        if (ahead.vertex > vertices) {
            return fail("vertex reference " + std::to_string(ahead.vertex) + " beyond the " +
                        std::to_string(vertices) + " vertices of the file");
        }
        if (ahead.texcoord > texcoords) {
            return fail("texture coordinate reference " + std::to_string(ahead.texcoord) +
                        " beyond the " + std::to_string(texcoords) +
                        " texture vertices of the file");
        }
    }
    return true;
}

}  // namespace

ObjScan read_obj_mesh(std::string_view text, ObjMesh& mesh, ObjFault& fault, KeepGoing keep_going,
                      void* context) {
    // Room for a typical exported file (about 27 bytes per coordinate
    // triple, 14 per corner); nothing is faulted in until it is written.
    mesh.vertices.reserve(text.size() / 24);
    mesh.corner_vertices.reserve(text.size() / 12);
    return Reader(mesh, fault).run(text, keep_going, context);
}

}  // namespace gk::mesh
