// geokern_tools._native: a file descriptor read to its end (see
// whole_file.hpp).
#include "tools_native/whole_file.hpp"

#include "module/interrupt.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace gk::tools {

namespace {

constexpr std::size_t kMostPerRead = std::size_t{64} << 20;
constexpr std::size_t kFirstBlock = std::size_t{1} << 20;

enum class Ended { eof, enough, interrupted, error, no_memory };

// Makes room for at least `more` bytes after `used`, keeping the data.
void make_room(mesh::WorkArray<char>& data, std::size_t used, std::size_t more) {
    if (data.size() - used >= more) return;
    mesh::WorkArray<char> larger(std::max(used + more, 2 * data.size()));
    if (used > 0) std::memcpy(larger.get(), data.get(), used);
    data = std::move(larger);
}

Ended read_unlocked(int fd, mesh::WorkArray<char>& data, std::size_t& used, EnoughFn enough,
                    int& error) {
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    // A regular file is read in one buffer of its size (and a byte more, to
    // see its end); anything else as it comes.
    const std::size_t first =
        regular && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : kFirstBlock;
    try {
        make_room(data, used, first);
        for (;;) {
            make_room(data, used, regular ? 1 : kFirstBlock);
            const std::size_t want = std::min(data.size() - used, kMostPerRead);
            const ssize_t got = ::read(fd, data.get() + used, want);
            if (got < 0) {
                if (errno != EINTR) {
                    error = errno;
                    return Ended::error;
                }
                if (signal_raised_unlocked()) return Ended::interrupted;
                continue;
            }
            if (got == 0) return Ended::eof;
            const std::size_t from = used;
            used += static_cast<std::size_t>(got);
            if (enough({data.get(), used}, from)) return Ended::enough;
            if (signal_raised_unlocked()) return Ended::interrupted;
        }
    } catch (const std::bad_alloc&) {
        return Ended::no_memory;
    }
}

}  // namespace

bool read_whole(int fd, mesh::WorkArray<char>& data, std::size_t& size, EnoughFn enough) {
    size = 0;
    int error = 0;
    Ended ended;
    Py_BEGIN_ALLOW_THREADS
    ended = read_unlocked(fd, data, size, enough, error);
    Py_END_ALLOW_THREADS
    switch (ended) {
    case Ended::eof:
    case Ended::enough: return true;
    case Ended::interrupted: return false;  // the handler's exception is set
    case Ended::error:
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    case Ended::no_memory: PyErr_NoMemory(); return false;
    }
    return false;
}

}  // namespace gk::tools
