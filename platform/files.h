// Reading the small files that users name on a command line (keys,
// certificates). Only regular files are read: a folder, a FIFO or a device
// (/dev/zero, a terminal) is refused before the first read, so nothing
// blocks or reads without end, and no file is read past a size limit.
//
// Thread safety: no state.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Reads the whole of `path` into *content. False with a one-line *error
// ("cannot read PATH: why") when it is not a regular file, cannot be read or
// holds more than `limit` bytes.
bool readSmallFile(const std::string& path, size_t limit, std::string* content, std::string* error);

}  // namespace platform
