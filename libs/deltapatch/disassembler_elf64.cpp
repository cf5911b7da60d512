// The 64-bit ELF parser steps shared by every 64-bit architecture.
#include "deltapatch/disassembler_elf64.h"

#include "deltapatch/elfheader.h"

namespace deltapatch {

DisassemblerElf64::DisassemblerElf64(const uint8_t* start, size_t length)
    : Disassembler(start, length)
{
}

bool DisassemblerElf64::parseHeader()
{
    uint64_t end = 0;
    const char* reason =
        ParseElfHeader(start(), length(), kElf64Format, elfMachine(), &m_Layout, &end);
    if (reason != nullptr)
        return markBad(reason);
    if (end < length())
        reduceLength(size_t(end));
    return markGood();
}

bool DisassemblerElf64::disassemble(DisassembledProgram* program)
{
    if (!good())
        return false;
    program->setImageBase(0);
    // Also bounds the scanning work: no image byte is read by two sections.
    if (!ElfProgramWriter::sectionsAreOrdered(m_Layout, length()))
        return false;
    ElfProgramWriter writer(start(), length(), m_Layout, program);
    ElfBranchList branches;
    for (size_t i = 0; i < m_Layout.sectionCount(); ++i) {
        const ElfSection& section = m_Layout.section(i);
        if (section.type == ELF_SECTION_PROGBITS && !parseFile(section, &branches))
            return false;
    }
    return writer.locate(&branches) && writer.write(&branches, this);
}

} // namespace deltapatch
