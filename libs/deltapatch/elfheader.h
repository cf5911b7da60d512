// Header check shared by the 32- and 64-bit ELF parsers: the fields they check differ only in
// place and width.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/elflayout.h"

namespace deltapatch {

struct ElfFormat {
    bool wide;                 // 64-bit header and tables
    size_t headerSize;         // smallest image accepted
    size_t programHeaderOffsetAt;
    size_t sectionHeaderOffsetAt;
    size_t programHeaderCountAt;
    size_t sectionHeaderSizeAt;
    size_t sectionHeaderCountAt;
    size_t stringTableIndexAt;
    uint64_t sectionHeaderSize;
    uint64_t programHeaderSize;
};

extern const ElfFormat kElf32Format;
extern const ElfFormat kElf64Format;

// Checks the header of image[0, length) for `machine` and reads the section and program header
// tables into `layout`. On success returns null and sets `end` to the length the image should
// be reduced to; otherwise returns the failure reason.
const char* ParseElfHeader(const uint8_t* image, size_t length, const ElfFormat& format,
                           uint16_t machine, ElfLayout* layout, uint64_t* end);

} // namespace deltapatch
