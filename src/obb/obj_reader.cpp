// geokern obb: the vertices and face references of an OBJ file (see
// obj_reader.hpp).
#include "obb/obj_reader.hpp"

#include "core/line_break.hpp"
#include "obb/first_seen.hpp"
#include "obb/numbers.hpp"
#include "obb/utf8.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#ifdef __AVX2__
#include <immintrin.h>
#endif

namespace gk::obb {

namespace {

constexpr size_t kChunk = 8192;           // Python's text layer reads this much at a time
constexpr size_t kBlock = 128 * kChunk;   // we read this much at a time from a regular file
constexpr size_t kNoCutoff = static_cast<size_t>(-1);
constexpr size_t kSlack = 64;             // room after the data for whole-vector loads
constexpr size_t kBytesPerVertex = 64;    // a vertex and its faces take more in a typical file
constexpr size_t kMostReserved = size_t{4} << 20;  // vertices reserved at most before they come

// Bit i set when p[i] is a blank, for i < min(size, 64).  Reads 64 bytes
// from p whatever `size` is: the buffer keeps that much room after its data.
uint64_t blank_mask(const char* p, size_t size) noexcept {
    uint64_t mask = 0;
#ifdef __AVX2__
    const __m256i blank = _mm256_set1_epi8(' ');
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    mask = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, blank))) |
           static_cast<uint64_t>(
               static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, blank))))
               << 32;
#else
    for (size_t i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(p[i] == ' ') << i;
#endif
    return size >= 64 ? mask : mask & ((uint64_t{1} << size) - 1);
}

// The positions of the first `wanted` blanks of `line` (at most 4); returns
// how many there are, up to wanted + 1 (so that "more than wanted" shows).
size_t find_blanks(std::string_view line, size_t wanted, size_t* blanks) noexcept {
    size_t count = 0;
    if (line.size() <= 64) {
        for (uint64_t mask = blank_mask(line.data(), line.size()); mask != 0 && count <= wanted;
             mask &= mask - 1) {
            if (count < wanted) blanks[count] = static_cast<size_t>(std::countr_zero(mask));
            ++count;
        }
        return count;
    }
    for (size_t i = 0; i < line.size() && count <= wanted; ++i) {
        if (line[i] != ' ') continue;
        if (count < wanted) blanks[count] = i;
        ++count;
    }
    return count;
}

ReadOutcome outcome(ReadStatus status, size_t count = 0) { return {status, count, 0}; }

// Whether a line of at least two bytes starts as "v " or "f ".
bool vertex_or_face(const char* line) noexcept {
    return (line[0] == 'v' || line[0] == 'f') && line[1] == ' ';
}

class Reader {
public:
    Reader(int fd, ObjSink& sink, FootprintList& vertices, ReferenceList& references)
        : fd_(fd), sink_(sink), vertices_(vertices), references_(references) {}

    ReadOutcome run();

private:
    void fill(size_t request, bool regular, bool& eof, ReadOutcome& failure);
    void check_block(size_t block, ReadOutcome& failure, size_t& cutoff);
    ReadOutcome handle_lines(bool final, size_t cutoff);
    ReadOutcome handle_line(const char* begin, const char* end);
    ReadOutcome vertex_line(std::string_view line);
    ReadOutcome face_line(std::string_view line);
    bool to_float(std::string_view token, double& value);
    bool add_reference(std::string_view token);
    void add_index(int64_t index) {
        if (seen_.insert(index)) references_.push_back(index);
    }

    int fd_;
    ObjSink& sink_;
    FootprintList& vertices_;
    ReferenceList& references_;
    FirstSeen seen_;
    std::vector<char, HugePageAllocator<char>> buffer_;
    size_t used_ = 0;     // bytes in buffer_: the unhandled rest of the last line, then new data
    size_t handled_ = 0;  // bytes of buffer_ whose lines have been handled
    size_t pending_ = 0;  // bytes at the end of buffer_ that the decoder holds back
    size_t scanned_ = 0;  // [handled_, scanned_) of buffer_ holds no line break
    bool skipping_ = false;  // the line at handled_ began in dropped bytes
};

ReadOutcome Reader::run() {
    struct stat info;
    const bool regular = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
    // A regular file gives full reads, so its chunks are the 8192-byte
    // stretches from the start.  Other files are read a large block at a
    // time too: what one read(2) returns was there at once, so Python's
    // reads would have cut it into 8192-byte chunks from its start.  A
    // small regular file needs no large block.
    size_t request = kBlock;
    if (regular && info.st_size > 0) {
        const size_t chunks = static_cast<size_t>(info.st_size) / kChunk + 1;
        request = chunks < kBlock / kChunk ? chunks * kChunk : kBlock;
        // Room for the lists of a typical file of this size from the start,
        // on huge pages: grown from small, every smaller copy would be
        // faulted in page by page.  Only what is written is faulted in, so
        // room too large costs address space, not memory.
        const size_t lines =
            std::min(static_cast<size_t>(info.st_size) / kBytesPerVertex, kMostReserved);
        vertices_.reserve(lines);
        references_.reserve(lines);
    }
    // A buffer of a whole block or more is taken on huge pages at once.
    if (request == kBlock) buffer_.reserve(kHugePage);
    for (;;) {
        // The buffer grows geometrically, so a long line costs linear time.
        if (buffer_.size() < used_ + request + kSlack) {
            buffer_.resize(std::max(used_ + request + kSlack, 2 * buffer_.size()));
        }
        const size_t block = used_;
        ReadOutcome failure;
        size_t cutoff = kNoCutoff;
        bool eof = false;
        fill(request, regular, eof, failure);
        if (used_ > block) check_block(block, failure, cutoff);
        if (failure.status != ReadStatus::ok && cutoff == kNoCutoff) cutoff = used_ - pending_;
        if (eof && failure.status == ReadStatus::ok && pending_ > 0) {
            // The file ends inside a character: the final decode says how.
            size_t consumed = 0;
            if (!sink_.decode({buffer_.data() + used_ - pending_, pending_}, true, consumed)) {
                failure = outcome(ReadStatus::deferred);
                cutoff = used_ - pending_;
            }
        }
        const bool final = eof && failure.status == ReadStatus::ok;
        const ReadOutcome lines = handle_lines(final, cutoff);
        if (lines.status != ReadStatus::ok) return lines;
        if (failure.status != ReadStatus::ok) return failure;
        if (final) return {};
        // Keep the unfinished last line at the front of the buffer: it moves
        // there once, and stays there while it grows.
        if (handled_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + handled_, used_ - handled_);
            used_ -= handled_;
            scanned_ -= handled_;
            handled_ = 0;
        }
        // Ctrl-C between blocks: a file may never end (a device, a pipe).
        if (!sink_.keep_going()) return outcome(ReadStatus::deferred);
    }
}

// Reads up to `request` bytes after used_: one read(2) for a file that is
// not regular, as many as it takes (or up to the end) for a regular one.
void Reader::fill(size_t request, bool regular, bool& eof, ReadOutcome& failure) {
    const size_t end = used_ + request;
    while (used_ < end) {
        const ssize_t got = sink_.read_some(fd_, buffer_.data() + used_, end - used_);
        if (got < 0) {
            if (errno == EINTR) {
                if (sink_.keep_going()) continue;
                failure = outcome(ReadStatus::deferred);
            } else {
                failure = {ReadStatus::read_error, 0, errno};
            }
            return;
        }
        if (got == 0) {
            eof = true;
            return;
        }
        used_ += static_cast<size_t>(got);
        if (!regular) return;
    }
}

// Decodes the new bytes [block, used_) as Python would, chunk by chunk.
// Well-formed text needs no decoder: only the bytes of an unfinished last
// character carry over.  Anything else goes through the sink's decoder,
// one chunk (with the bytes carried over) at a time; at the first chunk
// that fails, `cutoff` is where the decoded text ends.
void Reader::check_block(size_t block, ReadOutcome& failure, size_t& cutoff) {
    const size_t from = block - pending_;
    const Utf8Check check = check_utf8(buffer_.data() + from, used_ - from);
    if (check.valid) {
        pending_ = check.tail;
        return;
    }
    for (size_t chunk = block; chunk < used_; chunk += kChunk) {
        const size_t start = chunk - pending_;
        const size_t stop = std::min(chunk + kChunk, used_);
        size_t consumed = 0;
        if (!sink_.decode({buffer_.data() + start, stop - start}, false, consumed)) {
            failure = outcome(ReadStatus::deferred);
            cutoff = start;
            return;
        }
        pending_ = stop - start - consumed;
    }
}

// Handles the complete lines from handled_ on whose end was decoded before
// `cutoff`; with `final` (the whole file read and decoded) also the last.
ReadOutcome Reader::handle_lines(bool final, size_t cutoff) {
    const char* base = buffer_.data();
    size_t pos = handled_;
    for (;;) {
        // [pos, scanned_) holds no line break: searched in an earlier block.
        const char* brk = core::find_line_break(base + std::max(pos, scanned_), base + used_);
        if (brk == base + used_) brk = nullptr;  // no break yet: the line may go on
        scanned_ = brk ? static_cast<size_t>(brk - base) : used_;
        size_t content_end, next, decided;  // `decided`: the byte that settles the line end
        if (brk) {
            content_end = static_cast<size_t>(brk - base);
            if (*brk == '\n') {
                decided = content_end;
                next = content_end + 1;
            } else if (content_end + 1 < used_) {
                decided = content_end + 1;
                next = decided + (base[decided] == '\n' ? 1 : 0);
            } else if (final) {
                decided = next = content_end + 1;
            } else {
                break;  // a "\r" at the end of the data: "\r\n" or not is still open
            }
        } else if (final && pos < used_) {
            content_end = decided = next = used_;
        } else {
            break;
        }
        if (decided >= cutoff) break;
        const bool skip = std::exchange(skipping_, false);
        if (!skip) {
            const ReadOutcome result = handle_line(base + pos, base + content_end);
            if (result.status != ReadStatus::ok) return result;
        }
        pos = next;
    }
    // An unfinished line that cannot be a vertex or face line is dropped
    // as it comes, so that a long one takes no memory; the bytes that the
    // decoder holds back stay.
    if (!final && (skipping_ || (used_ - pos >= 2 && !vertex_or_face(base + pos)))) {
        skipping_ = true;
        pos = std::max(pos, std::min(scanned_, used_ - pending_));
    }
    handled_ = pos;
    return {};
}

// One line without its line break (which strip() would remove anyway).
ReadOutcome Reader::handle_line(const char* begin, const char* end) {
    if (end - begin < 2 || !vertex_or_face(begin)) return {};
    const std::string_view line(begin, utf8_rstrip(begin, static_cast<size_t>(end - begin)));
    return begin[0] == 'v' ? vertex_line(line) : face_line(line);
}

// "v x y z": exactly four tokens; y is never converted.
ReadOutcome Reader::vertex_line(std::string_view line) {
    size_t blanks[3];
    const size_t count = find_blanks(line, 3, blanks);
    if (count > 3) return outcome(ReadStatus::too_many_values, 4);
    if (count < 3) return outcome(ReadStatus::need_more_values, count + 1);
    const std::string_view x = line.substr(blanks[0] + 1, blanks[1] - blanks[0] - 1);
    const std::string_view z = line.substr(blanks[2] + 1);
    double xv, zv;
    if (!to_float(x, xv) || !to_float(z, zv)) return outcome(ReadStatus::failed);
    vertices_.push_back({xv, -zv});
    return {};
}

// "f a b c ...": at least four tokens; the slash form is decided by a.
ReadOutcome Reader::face_line(std::string_view line) {
    size_t blanks[4];
    const size_t count = find_blanks(line, 4, blanks);
    if (count < 3) return outcome(ReadStatus::need_more_values, count + 1);
    const size_t c_end = count >= 4 ? blanks[3] : line.size();
    const std::string_view refs[3] = {
        line.substr(blanks[0] + 1, blanks[1] - blanks[0] - 1),
        line.substr(blanks[1] + 1, blanks[2] - blanks[1] - 1),
        line.substr(blanks[2] + 1, c_end - blanks[2] - 1),
    };
    const bool slashed = refs[0].find('/') != std::string_view::npos;
    for (std::string_view ref : refs) {
        if (!add_reference(slashed ? ref.substr(0, ref.find('/')) : ref)) {
            return outcome(ReadStatus::failed);
        }
    }
    return {};
}

bool Reader::to_float(std::string_view token, double& value) {
    return parse_plain_float(token, value) || sink_.convert_float(token, value);
}

bool Reader::add_reference(std::string_view token) {
    int64_t number;
    if (parse_plain_int(token, number)) {
        add_index(number - 1);
        return true;
    }
    bool fits = false;
    int64_t index = 0;
    if (!sink_.convert_index(token, fits, index)) return false;
    if (fits) add_index(index);
    return true;
}

}  // namespace

ReadOutcome read_obj(int fd, ObjSink& sink, FootprintList& vertices, ReferenceList& references) {
    return Reader(fd, sink, vertices, references).run();
}

}  // namespace gk::obb
