// Writes small synthetic Mach-O images (32-bit x86 and x86-64) from a description: the header,
// one segment command per segment with its sections, and content bytes at chosen offsets. The
// linker cannot produce 32-bit images, and damaged headers are easiest to describe this way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace deltapatch {
namespace testing {

using MachoBytes = std::vector<uint8_t>;

constexpr uint32_t kMachoCodeFlags = 0x80000400; // pure and some instructions, regular type

struct MachoSectionSpec {
    uint64_t address = 0;
    uint64_t size = 0;
    uint32_t fileOffset = 0;
    uint32_t flags = kMachoCodeFlags;
    std::string name = "__text";
};

struct MachoSegmentSpec {
    std::string name;
    uint64_t address = 0;
    uint64_t virtualSize = 0;
    uint64_t fileOffset = 0;
    uint64_t fileSize = 0;
    std::vector<MachoSectionSpec> sections;
    // 0 writes the command of the image's width; 32 or 64 forces LC_SEGMENT or LC_SEGMENT_64.
    int commandBits = 0;
    // Overrides the section count written into the command when set.
    int64_t sectionCount = -1;
};

struct MachoImageSpec {
    bool is64 = true;
    uint32_t fileType = 2; // executable
    std::vector<MachoSegmentSpec> segments;
    size_t length = 0x1000;
    std::vector<std::pair<size_t, MachoBytes>> content;
};

inline void MachoPut32(MachoBytes* out, size_t at, uint32_t value)
{
    if (out->size() < at + 4)
        out->resize(at + 4);
    for (int i = 0; i < 4; ++i)
        (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void MachoPut64(MachoBytes* out, size_t at, uint64_t value)
{
    MachoPut32(out, at, static_cast<uint32_t>(value));
    MachoPut32(out, at + 4, static_cast<uint32_t>(value >> 32));
}

inline void MachoPutName(MachoBytes* out, size_t at, const std::string& name)
{
    if (out->size() < at + 16)
        out->resize(at + 16);
    for (size_t i = 0; i < name.size() && i < 16; ++i)
        (*out)[at + i] = static_cast<uint8_t>(name[i]);
}

inline MachoBytes MachoSegmentCommand(const MachoSegmentSpec& segment, bool wide)
{
    const size_t head = wide ? 72 : 56;
    const size_t entry = wide ? 80 : 68;
    MachoBytes out(head + entry * segment.sections.size());
    MachoPut32(&out, 0, wide ? 0x19 : 0x1);
    MachoPut32(&out, 4, static_cast<uint32_t>(out.size()));
    MachoPutName(&out, 8, segment.name);
    const uint32_t sections = segment.sectionCount >= 0
                                  ? static_cast<uint32_t>(segment.sectionCount)
                                  : static_cast<uint32_t>(segment.sections.size());
    if (wide) {
        MachoPut64(&out, 24, segment.address);
        MachoPut64(&out, 32, segment.virtualSize);
        MachoPut64(&out, 40, segment.fileOffset);
        MachoPut64(&out, 48, segment.fileSize);
        MachoPut32(&out, 56, 7);
        MachoPut32(&out, 60, 5);
        MachoPut32(&out, 64, sections);
    } else {
        MachoPut32(&out, 24, static_cast<uint32_t>(segment.address));
        MachoPut32(&out, 28, static_cast<uint32_t>(segment.virtualSize));
        MachoPut32(&out, 32, static_cast<uint32_t>(segment.fileOffset));
        MachoPut32(&out, 36, static_cast<uint32_t>(segment.fileSize));
        MachoPut32(&out, 40, 7);
        MachoPut32(&out, 44, 5);
        MachoPut32(&out, 48, sections);
    }
    for (size_t i = 0; i < segment.sections.size(); ++i) {
        const MachoSectionSpec& s = segment.sections[i];
        const size_t at = head + i * entry;
        MachoPutName(&out, at, s.name);
        MachoPutName(&out, at + 16, segment.name);
        if (wide) {
            MachoPut64(&out, at + 32, s.address);
            MachoPut64(&out, at + 40, s.size);
            MachoPut32(&out, at + 48, s.fileOffset);
            MachoPut32(&out, at + 64, s.flags);
        } else {
            MachoPut32(&out, at + 32, static_cast<uint32_t>(s.address));
            MachoPut32(&out, at + 36, static_cast<uint32_t>(s.size));
            MachoPut32(&out, at + 40, s.fileOffset);
            MachoPut32(&out, at + 56, s.flags);
        }
    }
    return out;
}

// The image: header, commands right after it, zeros up to `length`, then the content bytes.
inline MachoBytes BuildMacho(const MachoImageSpec& plan)
{
    MachoBytes commands;
    for (const MachoSegmentSpec& segment : plan.segments) {
        const bool wide = segment.commandBits == 0 ? plan.is64 : segment.commandBits == 64;
        const MachoBytes command = MachoSegmentCommand(segment, wide);
        commands.insert(commands.end(), command.begin(), command.end());
    }
    const size_t header = plan.is64 ? 32 : 28;
    MachoBytes out(header);
    MachoPut32(&out, 0, plan.is64 ? 0xFEEDFACF : 0xFEEDFACE);
    MachoPut32(&out, 4, plan.is64 ? 0x01000007 : 7);
    MachoPut32(&out, 8, 3); // all x86 subtypes
    MachoPut32(&out, 12, plan.fileType);
    MachoPut32(&out, 16, static_cast<uint32_t>(plan.segments.size()));
    MachoPut32(&out, 20, static_cast<uint32_t>(commands.size()));
    out.insert(out.end(), commands.begin(), commands.end());
    if (out.size() < plan.length)
        out.resize(plan.length);
    for (const auto& piece : plan.content) {
        if (out.size() < piece.first + piece.second.size())
            out.resize(piece.first + piece.second.size());
        std::copy(piece.second.begin(), piece.second.end(), out.begin() + piece.first);
    }
    return out;
}

// An image of one __TEXT segment (a page by default) with `code` in its __text section, in the
// usual layout of the linker: __PAGEZERO, then __TEXT from file offset 0. The x86-64 image
// sits at 4 GiB.
inline MachoImageSpec SmallMacho(bool is64, const MachoBytes& code, uint32_t codeOffset = 0x400,
                                 uint32_t textSize = 0x1000)
{
    const uint64_t base = is64 ? 0x100000000ull : 0x1000;
    MachoImageSpec plan;
    plan.is64 = is64;
    plan.length = textSize;
    plan.segments.push_back({"__PAGEZERO", 0, base, 0, 0, {}});
    MachoSegmentSpec text{"__TEXT", base, textSize, 0, textSize, {}};
    text.sections.push_back({base + codeOffset, code.size(), codeOffset});
    plan.segments.push_back(text);
    plan.content.push_back({codeOffset, code});
    return plan;
}

} // namespace testing
} // namespace deltapatch
