// 32-bit ARM ELF parser: R_ARM_RELATIVE places, ARM and Thumb-2 branches, the ARM
// relocation-table marker.
#include "deltapatch/disassembler_elf32_arm.h"

#include <algorithm>

namespace deltapatch {

namespace {

constexpr uint32_t kRelative = 23;
constexpr uint64_t kEntrySize = 8;

uint16_t ReadU16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t SignExtend(uint32_t value, unsigned bits)
{
    const uint32_t sign = 1u << (bits - 1);
    value &= (sign << 1) - 1;
    return (value ^ sign) - sign;
}

uint32_t Bit(uint32_t value, unsigned bit)
{
    return (value >> bit) & 1;
}

// The branch form of the instruction at p, or -1.
int BranchType(const uint8_t* p, uint64_t left, bool aligned)
{
    if (left >= 3) {
        const uint16_t h = ReadU16(p);
        if ((h & 0xF000) == 0xD000)
            return 0;
        if ((h & 0xF800) == 0xE000)
            return 1;
    }
    if (left >= 5) {
        const uint32_t w = uint32_t(ReadU16(p)) << 16 | ReadU16(p + 2);
        if ((w & 0xF8008000) == 0xF0008000)
            return (ReadU16(p + 2) & 0x5000) != 0 ? 3 : 4;
    }
    if (aligned && left >= 4 && (ReadU32(p) & 0x0E000000) == 0x0A000000)
        return 2;
    return -1;
}

// Number of leading entries whose place differs from the first abs32 RVA.
uint64_t LeadingOthers(const uint8_t* bytes, uint64_t count, uint32_t first)
{
    uint64_t n = 0;
    while (n < count && ReadU32(bytes + n * kEntrySize) != first)
        ++n;
    return n;
}

// The branch of `form` in bytes (enough of them) at `rva`: its target relative to the RVA and
// the opcode the assembler rebuilds it from.
ElfBranch DecodeBranch(int form, const uint8_t* bytes, uint32_t rva)
{
    uint32_t i = 0;
    uint32_t relative = 0;
    uint16_t opcode = 0;
    switch (form) {
    case ELF_BRANCH_ARM_THUMB_BCOND:
        i = ReadU16(bytes);
        relative = SignExtend((i & 0xFF) << 1, 9) + 4;
        opcode = uint16_t((i >> 8) | 0x1000);
        break;
    case ELF_BRANCH_ARM_THUMB_B:
        i = ReadU16(bytes);
        relative = SignExtend((i & 0x7FF) << 1, 12) + 4;
        opcode = uint16_t((i >> 11) | 0x2000);
        break;
    case ELF_BRANCH_ARM_B:
        i = ReadU32(bytes);
        relative = SignExtend((i & 0xFFFFFF) << 2, 26) + 8;
        opcode = uint16_t((i >> 24) | 0x3000);
        break;
    case ELF_BRANCH_ARM_THUMB2_BL: {
        i = uint32_t(ReadU16(bytes)) << 16 | ReadU16(bytes + 2);
        const uint32_t s = Bit(i, 26);
        const uint32_t offset = s << 24 | (~(Bit(i, 13) ^ s) & 1) << 23 |
                                (~(Bit(i, 11) ^ s) & 1) << 22 | ((i >> 16) & 0x3FF) << 12 |
                                (i & 0x7FF) << 1;
        // BLX to ARM code from a halfword-aligned Thumb instruction counts from the aligned PC.
        const uint32_t a = Bit(i, 14) && !Bit(i, 12) && rva % 4 != 0 ? 2 : 4;
        relative = SignExtend(offset, 25) + a;
        opcode = uint16_t(0x4000 | a << 8 | ((i >> 24) & 0xF8) | Bit(i, 15) << 2 |
                          Bit(i, 14) << 1 | Bit(i, 12));
        break;
    }
    default: {
        i = uint32_t(ReadU16(bytes)) << 16 | ReadU16(bytes + 2);
        const uint32_t offset = Bit(i, 26) << 20 | Bit(i, 13) << 19 | Bit(i, 11) << 18 |
                                ((i >> 16) & 0x3F) << 12 | (i & 0x7FF) << 1;
        relative = SignExtend(offset, 21) + 4;
        opcode = uint16_t(((i >> 22) & 0xF) | 0x5000);
        break;
    }
    }
    return ElfBranch(ElfBranchForm(form), rva, relative, opcode);
}

} // namespace

DisassemblerElf32ARM::DisassemblerElf32ARM(const uint8_t* start, size_t length)
    : DisassemblerElf32(start, length)
{
}

bool DisassemblerElf32ARM::relocationToRva(uint32_t place, uint32_t info, uint32_t* rva) const
{
    if (info != kRelative)
        return false;
    *rva = place;
    return true;
}

bool DisassemblerElf32ARM::parseRelocationSection(const ElfSection& section,
                                                  ElfProgramWriter* writer)
{
    const uint64_t end = section.offset + section.size;
    const size_t n = writer->abs32Count();
    // Assembly rebuilds one table only; any further section stays bytes.
    if (n == 0 || writer->relocationTableEmitted())
        return writer->emitBytes(section.offset, end);
    const uint8_t* bytes = sectionBytes(section);
    const uint64_t count = section.entrySize == 0 ? 0 : section.size / section.entrySize;
    // Entries are read 8 bytes apart: never past the section, whatever its entry size.
    const uint64_t readable = section.size / kEntrySize;
    const uint64_t leading =
        LeadingOthers(bytes, std::min(count, readable), writer->firstAbs32Rva());
    if (!writer->emitBytes(section.offset, section.offset + leading * kEntrySize))
        return false;
    uint64_t entry = leading;
    if (count >= n) {
        GrowableArray<uint32_t> rvas;
        if (!writer->abs32Rvas(&rvas) || !matchRun(bytes, readable, rvas, &entry, writer))
            return false;
    }
    return writer->emitBytes(section.offset + entry * kEntrySize, end);
}

// Walks the entries from `*entry` against the places in order: all matched gives the marker;
// otherwise the walk stops after the first entry that differs (or at the section's end).
bool DisassemblerElf32ARM::matchRun(const uint8_t* bytes, uint64_t readable,
                                    const GrowableArray<uint32_t>& rvas, uint64_t* entry,
                                    ElfProgramWriter* writer)
{
    for (size_t matched = 0; matched < rvas.size(); ++matched) {
        if (*entry >= readable)
            return true;
        const uint8_t* at = bytes + *entry * kEntrySize;
        ++*entry;
        if (ReadU32(at + 4) != kRelative || ReadU32(at) != rvas[matched])
            return true;
    }
    if (!writer->program()->emitElfArmRelocationTable())
        return false;
    writer->setRelocationTableEmitted();
    return true;
}

bool DisassemblerElf32ARM::parseFile(const ElfSection& section, ElfBranchList* branches)
{
    const uint8_t* bytes = sectionBytes(section);
    const uint32_t base = uint32_t(section.address);
    bool aligned = true;
    uint64_t p = 0;
    while (p < section.size) {
        // BranchType only names a form whose bytes are all inside the section.
        const int form = BranchType(bytes + p, section.size - p, aligned);
        if (form >= 0) {
            const ElfBranch branch = DecodeBranch(form, bytes + p, base + uint32_t(p));
            if (layout().isValidTarget(branch.target())) {
                if (!branches->add(branch, section.offset + p))
                    return false;
                p += branch.instructionSize();
                aligned = true;
                continue;
            }
        }
        p += 2;
        aligned = !aligned;
    }
    return true;
}

} // namespace deltapatch
