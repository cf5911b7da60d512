// Writes a finished result buffer to its file in one go.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deltapatch {

// Creates or truncates `path` and writes all `length` bytes. When the file cannot be written
// completely it is removed, so that no truncated result is left looking like a finished one.
bool WriteOutputFile(const char* path, const uint8_t* data, size_t length);

} // namespace deltapatch
