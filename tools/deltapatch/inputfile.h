// An input file as bytes: mapped when it has content, an empty range when it has none (the
// engine's mapping refuses zero-length files, but an empty old or new file is a valid input).
#pragma once

#include <cstdint>
#include <string>

#include "deltapatch/mappedfile.h"
#include "deltapatch/streams.h"

namespace cli {

class InputFile {
public:
    // Opens and maps `path`. False with error() set when it is missing, unreadable, not a
    // regular file or cannot be mapped.
    bool open(const std::string& path);
    deltapatch::ByteSource source() const;
    uint64_t length() const { return m_Length; }
    const std::string& error() const { return m_Error; }

private:
    deltapatch::MappedFile m_Map;
    uint64_t m_Length = 0;
    std::string m_Error;
};

// Checks that `path` is a readable regular file and tells its size; false with a one-line
// reason ("cannot open PATH: No such file or directory") otherwise.
bool statInput(const std::string& path, uint64_t* size, std::string* error);

} // namespace cli
