// 32-bit x86 ELF parser: R_386_RELATIVE places, rel32 branches, the relocation-table marker.
#include "deltapatch/disassembler_elf32_x86.h"

#include "deltapatch/elfx86scanner.h"

namespace deltapatch {

namespace {

constexpr uint32_t kRelative = 8;
constexpr uint64_t kEntrySize = 8;

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when the entries, 8 bytes apart, start with one relative entry per abs32 place, in order.
bool StartsWithAbs32Entries(const uint8_t* bytes, const GrowableArray<uint32_t>& rvas)
{
    for (size_t i = 0; i < rvas.size(); ++i) {
        const uint8_t* entry = bytes + i * kEntrySize;
        if (ReadU32(entry) != rvas[i] || ReadU32(entry + 4) != kRelative)
            return false;
    }
    return true;
}

} // namespace

DisassemblerElf32X86::DisassemblerElf32X86(const uint8_t* start, size_t length)
    : DisassemblerElf32(start, length)
{
}

bool DisassemblerElf32X86::relocationToRva(uint32_t place, uint32_t info, uint32_t* rva) const
{
    if (info != kRelative)
        return false;
    *rva = place;
    return true;
}

bool DisassemblerElf32X86::parseRelocationSection(const ElfSection& section,
                                                  ElfProgramWriter* writer)
{
    const uint64_t end = section.offset + section.size;
    // Assembly rebuilds one table only; any further matching section stays bytes. The places
    // are listed only for a section that can hold them all.
    const size_t n = writer->abs32Count();
    GrowableArray<uint32_t> rvas;
    if (writer->relocationTableEmitted() || n == 0 || section.entrySize == 0 ||
        section.size / section.entrySize < n || section.size / kEntrySize < n)
        return writer->emitBytes(section.offset, end);
    if (!writer->abs32Rvas(&rvas))
        return false;
    if (!StartsWithAbs32Entries(sectionBytes(section), rvas))
        return writer->emitBytes(section.offset, end);
    if (!writer->program()->emitElfRelocationTable())
        return false;
    writer->setRelocationTableEmitted();
    return writer->emitBytes(section.offset + rvas.size() * kEntrySize, end);
}

bool DisassemblerElf32X86::parseFile(const ElfSection& section, ElfBranchList* branches)
{
    GrowableArray<uint64_t> fields;
    const uint8_t* bytes = sectionBytes(section);
    if (!ScanX86Displacements(bytes, section.size, uint32_t(section.address), false, layout(),
                              &fields))
        return false;
    for (size_t i = 0; i < fields.size(); ++i) {
        // The target is the field's value relative to the end of the field.
        const uint32_t relative = ReadU32(bytes + fields[i]) + 4;
        const uint32_t rva = uint32_t(section.address + fields[i]);
        const uint64_t offset = section.offset + fields[i];
        if (!branches->add(ElfBranch(ELF_BRANCH_X86_REL32, rva, relative), offset))
            return false;
    }
    return true;
}

} // namespace deltapatch
