// geokern_tools._native: a file descriptor read to its end.
//
// read_whole(fd, ...) reads from the descriptor's position to its end into
// a buffer on huge pages (mesh/work_array.hpp): a regular file in one go
// (in reads of at most 64 MiB), a pipe or device as its reads return,
// the buffer growing geometrically.  The interpreter lock is released
// while reading.  Ctrl-C is honoured between reads (a pipe or device may
// never end) and when a read is interrupted.  After each read
// `enough(data so far, where the new bytes start)` may stop the reading
// early (binary data on a device that never ends).  The descriptor is not
// closed.
#pragma once

#include "mesh/work_array.hpp"
#include "module/python.hpp"

#include <cstddef>
#include <string_view>

namespace gk::tools {

using EnoughFn = bool (*)(std::string_view data, std::size_t from);

// Fills `data` and `size`; false with an exception set (OSError for a read
// error, MemoryError, or the signal handler's).  Call with the lock held.
bool read_whole(int fd, mesh::WorkArray<char>& data, std::size_t& size, EnoughFn enough);

}  // namespace gk::tools
