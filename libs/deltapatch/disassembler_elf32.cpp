// The 32-bit ELF parser steps shared by x86 and ARM.
#include "deltapatch/disassembler_elf32.h"

#include <algorithm>

#include "deltapatch/elfheader.h"

namespace deltapatch {

namespace {

constexpr uint64_t kRelocationEntrySize = 8;

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

DisassemblerElf32::DisassemblerElf32(const uint8_t* start, size_t length)
    : Disassembler(start, length)
{
}

bool DisassemblerElf32::parseHeader()
{
    uint64_t end = 0;
    const char* reason =
        ParseElfHeader(start(), length(), kElf32Format, elfMachine(), &m_Layout, &end);
    if (reason != nullptr)
        return markBad(reason);
    if (end < length())
        reduceLength(size_t(end));
    return markGood();
}

bool DisassemblerElf32::disassemble(DisassembledProgram* program)
{
    if (!good())
        return false;
    program->setImageBase(0);
    // Also bounds the scanning work: no image byte is read by two sections.
    if (!ElfProgramWriter::sectionsAreOrdered(m_Layout, length()))
        return false;
    ElfProgramWriter writer(start(), length(), m_Layout, program);
    ElfBranchList branches;
    return collectAbs32(&writer) && collectBranches(&branches) && writer.locate(&branches) &&
           writer.write(&branches, this);
}

bool DisassemblerElf32::collectAbs32(ElfProgramWriter* writer) const
{
    for (size_t i = 0; i < m_Layout.sectionCount(); ++i) {
        const ElfSection& section = m_Layout.section(i);
        if (section.type != ELF_SECTION_REL || section.entrySize == 0)
            continue;
        // Entries are read 8 bytes apart; a smaller declared entry size must not make the
        // reads run past the section.
        uint64_t count = section.size / section.entrySize;
        count = std::min(count, section.size / kRelocationEntrySize);
        const uint8_t* entry = sectionBytes(section);
        for (uint64_t n = 0; n < count; ++n, entry += kRelocationEntrySize) {
            uint32_t rva = 0;
            if (relocationToRva(ReadU32(entry), ReadU32(entry + 4), &rva) &&
                m_Layout.isValidRelocationPlace(rva) && !writer->addAbs32(rva))
                return false;
        }
    }
    return true;
}

bool DisassemblerElf32::collectBranches(ElfBranchList* branches)
{
    for (size_t i = 0; i < m_Layout.sectionCount(); ++i) {
        const ElfSection& section = m_Layout.section(i);
        if (section.type == ELF_SECTION_PROGBITS && !parseFile(section, branches))
            return false;
    }
    return true;
}

} // namespace deltapatch
