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

bool DisassemblerElf64X64::TypedRVAX64::computeRelativeTarget(const uint8_t* bytes,
                                                               size_t available)
{
    if (available < 4)
        return false;
    setRelativeTarget(ReadU32(bytes) + 4);
    return true;
}

bool DisassemblerElf64X64::TypedRVAX64::emitInstruction(DisassembledProgram* program,
                                                        uint32_t target)
{
    return program->emitRel32(program->findOrMakeRel32Label(target));
}

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
        TypedRVAX64* branch = branches->make<TypedRVAX64>(uint32_t(section.address + fields[i]));
        if (branch == nullptr ||
            !branch->computeRelativeTarget(bytes + fields[i], section.size - fields[i]))
            return false;
        branch->setFileOffset(section.offset + fields[i]);
    }
    return true;
}

} // namespace deltapatch
