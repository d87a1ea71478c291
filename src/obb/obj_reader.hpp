// geokern obb: the vertices and face references of an OBJ file.
//
// Reads a file descriptor to its end and gives exactly what reading the
// file as Python text, line by line, gives: open(path, "r",
// encoding="utf-8"), readline() until it returns "", and for each line
//   - "v x y z": starts with "v "; strip(), split(" ") into exactly four
//     tokens; the footprint point (float(x), -float(z)) is appended;
//   - "f a b c ...": starts with "f "; strip(), split(" ") into at least
//     four tokens; int(r) - 1 for r = a, b, c (r cut at its first "/" when
//     a holds a "/") goes into the index set;
//   - anything else is skipped.
// Lines end at "\n", "\r\n" or a lone "\r" (universal newlines); strip()
// removes Unicode whitespace; split(" ") cuts at every single blank, so two
// blanks make an empty token.
//
// Time and memory are linear in the file, whatever its line lengths: a
// line that cannot be a vertex or face line is dropped as it is read.
//
// Python's text layer reads the file in chunks of 8192 bytes and decodes a
// chunk only when readline() runs out of decoded text, so an undecodable
// byte raises after every line whose end was decoded from earlier chunks,
// and before the others.  The reader reads large blocks but keeps that
// order: it checks each block before handling its lines and, when a chunk
// fails to decode, handles only the lines that Python would have returned
// first.  (A "\r" that ends the decoded text waits for the next character
// before it counts as a line end, as it may begin a "\r\n".)
//
// The index set comes out as its distinct references in the order they
// first appear (which fixes the iteration order of a Python set built from
// them).  Tokens the fast number parsers do not take, and the decoding of
// anything but well-formed UTF-8, are the sink's.
#pragma once

#include "core/huge_pages.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace gk::obb {

// The footprint (x, -z) of one vertex line.
struct Footprint {
    double x;
    double y;
};

// The vertex list and the references of a file, which grow with it.
using FootprintList = std::vector<Footprint, HugePageAllocator<Footprint>>;
using ReferenceList = std::vector<int64_t, HugePageAllocator<int64_t>>;

// What the reader leaves to its caller.  A method returning false has
// failed; the reader stops (see ReadStatus for what the sink then holds).
class ObjSink {
public:
    // value = float(token).
    virtual bool convert_float(std::string_view token, double& value) = 0;
    // int(token) - 1.  When that fits in 64 bits it goes to `index` with
    // `fits` set, for the reader to record; otherwise the sink keeps the
    // number itself, knowing it comes after the references recorded so far.
    virtual bool convert_index(std::string_view token, bool& fits, int64_t& index) = 0;
    // Decodes `bytes` as the strict UTF-8 stream decoder does, `final` at
    // the end of the file; `consumed` is how many bytes were decoded (the
    // rest wait for the next chunk).  On false the sink keeps the decoder's
    // error for later (ReadStatus::deferred).
    virtual bool decode(std::string_view bytes, bool final, size_t& consumed) = 0;
    // read(2) of `fd` into `into`, with its result and errno.  The call may
    // block (a pipe), so the sink may let other threads run meanwhile.
    virtual ssize_t read_some(int fd, char* into, size_t size) = 0;
    // Called between blocks and after a read that a signal interrupted
    // (which is then retried): false to stop reading (Ctrl-C), the sink
    // keeping the error for later (ReadStatus::deferred).
    virtual bool keep_going() = 0;

protected:
    ~ObjSink() = default;
};

enum class ReadStatus {
    ok,
    failed,            // a sink method failed; its error is current
    deferred,          // decode() or keep_going() failed; the sink kept the error
    too_many_values,   // a vertex line with more than four tokens
    need_more_values,  // a vertex or face line with `count` (< 4) tokens
    read_error,        // read(2) failed with `error`
};

struct ReadOutcome {
    ReadStatus status = ReadStatus::ok;
    size_t count = 0;
    int error = 0;
};

// Reads `fd` from its current position to its end, appending vertex lines
// to `vertices` and each distinct face reference, at its first appearance,
// to `references`.  Stops at the first failure, in file order.  The
// descriptor is not closed.  May throw std::bad_alloc.
ReadOutcome read_obj(int fd, ObjSink& sink, FootprintList& vertices, ReferenceList& references);

}  // namespace gk::obb
