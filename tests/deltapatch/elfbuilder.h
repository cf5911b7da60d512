// Builds small ELF images for the parser tests: the header, one loadable segment over the whole
// file (addresses equal file offsets), the given sections and a section-name table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace deltapatch {
namespace testing {

using ElfBytes = std::vector<uint8_t>;

struct ElfSectionSpec {
    uint32_t type;
    ElfBytes bytes;
    uint64_t entrySize = 0;
};

struct ElfImageSpec {
    bool is64 = false;
    uint16_t machine = 3;
    std::vector<ElfSectionSpec> sections;
};

struct BuiltElf {
    ElfBytes bytes;
    // File offset (and address) of each given section's bytes, in plan order.
    std::vector<uint64_t> offsets;
    uint64_t sectionTable = 0; // file offset of the section header table
    uint64_t programTable = 0;
    // Header entry of the given section i (section 0 of the table is the null section).
    uint64_t sectionHeader(size_t i, bool is64) const { return sectionTable + (i + 1) * (is64 ? 64 : 40); }
};

inline void ElfPut(ElfBytes* bytes, uint64_t at, uint64_t value, int width)
{
    if (bytes->size() < at + width)
        bytes->resize(at + width);
    for (int i = 0; i < width; ++i)
        (*bytes)[at + i] = uint8_t(value >> (8 * i));
}

inline void ElfPutSection(ElfBytes* out, uint64_t at, bool is64, uint32_t type, uint64_t offset,
                          uint64_t size, uint64_t entrySize)
{
    ElfPut(out, at + 4, type, 4);
    if (is64) {
        ElfPut(out, at + 16, offset, 8); // address
        ElfPut(out, at + 24, offset, 8);
        ElfPut(out, at + 32, size, 8);
        ElfPut(out, at + 56, entrySize, 8);
    } else {
        ElfPut(out, at + 12, offset, 4);
        ElfPut(out, at + 16, offset, 4);
        ElfPut(out, at + 20, size, 4);
        ElfPut(out, at + 36, entrySize, 4);
    }
}

inline BuiltElf BuildElf(const ElfImageSpec& plan)
{
    const bool w = plan.is64;
    const uint64_t header = w ? 64 : 52;
    const uint64_t programSize = w ? 56 : 32;
    BuiltElf built;
    ElfBytes& out = built.bytes;
    out.assign(header + programSize, 0);
    uint64_t at = 0x100; // sections start on a round offset
    for (const ElfSectionSpec& section : plan.sections) {
        built.offsets.push_back(at);
        out.resize(at, 0);
        out.insert(out.end(), section.bytes.begin(), section.bytes.end());
        at = (out.size() + 3) & ~uint64_t(3);
    }
    const uint64_t names = at;
    out.resize(names + 4, 0); // the section-name table: empty names only
    built.sectionTable = (out.size() + 7) & ~uint64_t(7);
    const uint64_t sectionSize = w ? 64 : 40;
    const uint64_t count = plan.sections.size() + 2;
    out.resize(built.sectionTable + count * sectionSize, 0);
    for (size_t i = 0; i < plan.sections.size(); ++i)
        ElfPutSection(&out, built.sectionHeader(i, w), w, plan.sections[i].type, built.offsets[i],
                      plan.sections[i].bytes.size(), plan.sections[i].entrySize);
    ElfPutSection(&out, built.sectionHeader(plan.sections.size(), w), w, 3, names, 4, 0);
    const uint64_t length = out.size();
    // Header.
    out[0] = 0x7F, out[1] = 'E', out[2] = 'L', out[3] = 'F';
    out[4] = w ? 2 : 1;
    out[5] = 1;
    out[6] = 1;
    ElfPut(&out, 16, 3, 2); // shared object
    ElfPut(&out, 18, plan.machine, 2);
    ElfPut(&out, 20, 1, 4);
    built.programTable = header;
    ElfPut(&out, w ? 32 : 28, header, w ? 8 : 4);
    ElfPut(&out, w ? 40 : 32, built.sectionTable, w ? 8 : 4);
    ElfPut(&out, w ? 52 : 40, header, 2);
    ElfPut(&out, w ? 54 : 42, programSize, 2);
    ElfPut(&out, w ? 56 : 44, 1, 2);
    ElfPut(&out, w ? 58 : 46, sectionSize, 2);
    ElfPut(&out, w ? 60 : 48, count, 2);
    ElfPut(&out, w ? 62 : 50, count - 1, 2);
    // One loadable segment: file and memory are the same.
    ElfPut(&out, header, 1, 4);
    if (w) {
        ElfPut(&out, header + 32, length, 8);
        ElfPut(&out, header + 40, length, 8);
    } else {
        ElfPut(&out, header + 16, length, 4);
        ElfPut(&out, header + 20, length, 4);
    }
    return built;
}

} // namespace testing
} // namespace deltapatch
