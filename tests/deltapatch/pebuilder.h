// Writes small synthetic PE32 and PE32+ images from a description: DOS stub, PE and optional
// headers, the section table and content bytes at chosen offsets. Damaged headers and layouts
// a linker never writes are easiest to describe this way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace deltapatch {
namespace testing {

using PeBytes = std::vector<uint8_t>;

struct PeSectionSpec {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawPointer = 0;
    uint32_t rawSize = 0;
};

struct PeImageSpec {
    bool is64 = false;
    uint32_t peOffset = 0x40;
    uint16_t magic = 0;              // 0: the magic of is64
    uint16_t optionalHeaderSize = 0; // 0: the standard size with 16 directories
    uint32_t numberOfDirectories = 16;
    uint64_t imageBase = 0x10000000;
    uint32_t sizeOfImage = 0x4000;
    uint32_t relocationRva = 0;
    uint32_t relocationSize = 0;
    std::vector<PeSectionSpec> sections;
    size_t length = 0x800;
    std::vector<std::pair<size_t, PeBytes>> content;
};

inline void PePut(PeBytes* out, size_t at, uint64_t value, int bytes)
{
    if (out->size() < at + bytes)
        out->resize(at + bytes);
    for (int i = 0; i < bytes; ++i)
        (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline size_t PeOptionalHeaderOffset(const PeImageSpec& plan)
{
    return plan.peOffset + 24;
}

inline uint16_t PeStandardOptionalSize(bool is64)
{
    return static_cast<uint16_t>((is64 ? 112 : 96) + 16 * 8);
}

inline PeBytes BuildPe(const PeImageSpec& plan)
{
    PeBytes out(plan.length, 0);
    out[0] = 'M';
    out[1] = 'Z';
    PePut(&out, 60, plan.peOffset, 4);
    PePut(&out, plan.peOffset, 0x4550, 4); // "PE\0\0"
    const uint16_t optionalSize =
        plan.optionalHeaderSize ? plan.optionalHeaderSize : PeStandardOptionalSize(plan.is64);
    PePut(&out, plan.peOffset + 4, plan.is64 ? 0x8664 : 0x14C, 2);
    PePut(&out, plan.peOffset + 6, plan.sections.size(), 2);
    PePut(&out, plan.peOffset + 20, optionalSize, 2);
    const size_t optional = PeOptionalHeaderOffset(plan);
    PePut(&out, optional, plan.magic ? plan.magic : (plan.is64 ? 0x20B : 0x10B), 2);
    if (plan.is64)
        PePut(&out, optional + 24, plan.imageBase, 8);
    else
        PePut(&out, optional + 28, plan.imageBase, 4);
    PePut(&out, optional + 56, plan.sizeOfImage, 4);
    const size_t directories = optional + (plan.is64 ? 112 : 96);
    PePut(&out, directories - 4, plan.numberOfDirectories, 4);
    PePut(&out, directories + 5 * 8, plan.relocationRva, 4);
    PePut(&out, directories + 5 * 8 + 4, plan.relocationSize, 4);
    size_t record = optional + optionalSize;
    for (const PeSectionSpec& section : plan.sections) {
        for (size_t i = 0; i < section.name.size() && i < 8; ++i)
            out[record + i] = static_cast<uint8_t>(section.name[i]);
        PePut(&out, record + 8, section.virtualSize, 4);
        PePut(&out, record + 12, section.virtualAddress, 4);
        PePut(&out, record + 16, section.rawSize, 4);
        PePut(&out, record + 20, section.rawPointer, 4);
        record += 40;
    }
    for (const auto& [at, bytes] : plan.content) {
        if (out.size() < at + bytes.size())
            out.resize(at + bytes.size());
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<long>(at));
    }
    out.resize(std::max(out.size(), plan.length));
    return out;
}

// One base relocation block: page, size and the entries, padded to a multiple of 4 bytes.
inline PeBytes PeRelocationBlock(uint32_t page, const std::vector<uint16_t>& entries)
{
    const size_t count = entries.size() + entries.size() % 2;
    PeBytes block;
    PePut(&block, 0, page, 4);
    PePut(&block, 4, 8 + 2 * count, 4);
    for (size_t i = 0; i < count; ++i)
        PePut(&block, 8 + 2 * i, i < entries.size() ? entries[i] : 0, 2);
    return block;
}

// .text at file 0x200 (RVA 0x1000, 0x200 bytes) holding `code`, .reloc at file 0x400 (RVA
// 0x2000, 0x200 bytes) holding `relocations`, and .data at 0x600 (RVA 0x3000, 0x200 bytes).
inline PeImageSpec SmallPe(bool is64, const PeBytes& code, const PeBytes& relocations = {})
{
    PeImageSpec plan;
    plan.is64 = is64;
    plan.sections = {{".text", 0x1000, 0x200, 0x200, 0x200},
                     {".reloc", 0x2000, 0x200, 0x400, 0x200},
                     {".data", 0x3000, 0x200, 0x600, 0x200}};
    plan.content = {{0x200, code}, {0x400, relocations}};
    if (!relocations.empty()) {
        plan.relocationRva = 0x2000;
        plan.relocationSize = static_cast<uint32_t>(relocations.size());
    }
    return plan;
}

} // namespace testing
} // namespace deltapatch
