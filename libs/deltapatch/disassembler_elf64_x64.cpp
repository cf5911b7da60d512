// x86-64 ELF parser: rel32 and rip-relative displacements; relocations stay bytes.
#include "deltapatch/disassembler_elf64_x64.h"

#include "deltapatch/elfx86scanner.h"

namespace deltapatch {

namespace {

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

DisassemblerElf64X64::DisassemblerElf64X64(const uint8_t* start, size_t length)
    : DisassemblerElf64(start, length)
{
}

bool DisassemblerElf64X64::relocationToRva(uint64_t, uint64_t, uint32_t*) const
{
    return false;
}

bool DisassemblerElf64X64::parseRelocationSection(const ElfSection& section,
                                                  ElfProgramWriter* writer)
{
    return writer->emitBytes(section.offset, section.offset + section.size);
}

bool DisassemblerElf64X64::parseFile(const ElfSection& section, ElfBranchList* branches)
{
    GrowableArray<uint64_t> fields;
    const uint8_t* bytes = sectionBytes(section);
    if (!ScanX86Displacements(bytes, section.size, uint32_t(section.address), true, layout(),
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
