// ELF header check and table reading for both widths.
#include "deltapatch/elfheader.h"

#include <algorithm>

namespace deltapatch {

const ElfFormat kElf32Format = {false, 52, 28, 32, 44, 46, 48, 50, 40, 32};
const ElfFormat kElf64Format = {true, 64, 32, 40, 56, 58, 60, 62, 64, 56};

namespace {

constexpr uint16_t kTypeExecutable = 2;
constexpr uint16_t kTypeShared = 3;

uint16_t ReadU16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t ReadWord(const uint8_t* p, bool wide)
{
    return wide ? uint64_t(ReadU32(p)) | uint64_t(ReadU32(p + 4)) << 32 : ReadU32(p);
}

ElfSection ReadSection(const uint8_t* p, bool wide)
{
    if (wide)
        return ElfSection{ReadU32(p + 4), ReadWord(p + 16, true), ReadWord(p + 24, true),
                          ReadWord(p + 32, true), ReadWord(p + 56, true)};
    return ElfSection{ReadU32(p + 4), ReadU32(p + 12), ReadU32(p + 16), ReadU32(p + 20),
                      ReadU32(p + 36)};
}

ElfSegment ReadSegment(const uint8_t* p, bool wide)
{
    if (wide)
        return ElfSegment{ReadU32(p), ReadWord(p + 8, true), ReadWord(p + 16, true),
                          ReadWord(p + 32, true), ReadWord(p + 40, true)};
    return ElfSegment{ReadU32(p), ReadU32(p + 4), ReadU32(p + 8), ReadU32(p + 16),
                      ReadU32(p + 20)};
}

// Checks that `count` entries of `size` bytes at `offset` lie inside the image.
bool TableFits(uint64_t offset, uint64_t count, uint64_t size, size_t length)
{
    return count * size <= length - offset; // offset < length was checked; count * size < 2^32
}

const char* ReadTables(const uint8_t* image, size_t length, const ElfFormat& format,
                       ElfLayout* layout, uint64_t* end)
{
    const uint64_t sectionOffset = ReadWord(image + format.sectionHeaderOffsetAt, format.wide);
    const uint64_t sectionCount = ReadU16(image + format.sectionHeaderCountAt);
    if (sectionOffset >= length)
        return "Out of bounds section header table offset";
    if (!TableFits(sectionOffset, sectionCount, format.sectionHeaderSize, length))
        return "Out of bounds section header table";
    const uint64_t programOffset = ReadWord(image + format.programHeaderOffsetAt, format.wide);
    const uint64_t programCount = ReadU16(image + format.programHeaderCountAt);
    if (programOffset >= length)
        return "Out of bounds program header table offset";
    if (!TableFits(programOffset, programCount, format.programHeaderSize, length))
        return "Out of bounds program header table";
    if (ReadU16(image + format.stringTableIndexAt) >= sectionCount)
        return "Out of bounds string table index";
    for (uint64_t i = 0; i < sectionCount; ++i) {
        const uint8_t* entry = image + sectionOffset + i * format.sectionHeaderSize;
        if (!layout->addSection(ReadSection(entry, format.wide)))
            return "out of memory";
    }
    for (uint64_t i = 0; i < programCount; ++i) {
        const uint8_t* entry = image + programOffset + i * format.programHeaderSize;
        if (!layout->addSegment(ReadSegment(entry, format.wide)))
            return "out of memory";
    }
    if (!layout->finish())
        return "out of memory";
    *end = std::max({layout->describedEnd(), sectionOffset + sectionCount * format.sectionHeaderSize,
                     programOffset + programCount * format.programHeaderSize});
    return nullptr;
}

} // namespace

const char* ParseElfHeader(const uint8_t* image, size_t length, const ElfFormat& format,
                           uint16_t machine, ElfLayout* layout, uint64_t* end)
{
    layout->clear();
    if (length < format.headerSize)
        return "Too small";
    if (image[0] != 0x7F || image[1] != 'E' || image[2] != 'L' || image[3] != 'F')
        return "No Magic Number";
    const uint16_t type = ReadU16(image + 16);
    if (type != kTypeExecutable && type != kTypeShared)
        return "Not an executable file or shared library";
    if (ReadU16(image + 18) != machine)
        return "Not a supported architecture";
    if (ReadU32(image + 20) != 1)
        return "Unknown file version";
    if (ReadU16(image + format.sectionHeaderSizeAt) != format.sectionHeaderSize)
        return "Unexpected section header size";
    return ReadTables(image, length, format, layout, end);
}

} // namespace deltapatch
