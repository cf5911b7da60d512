// Common part of the 64-bit ELF parsers: header check, branches from the code scanner of the
// architecture, and emission. 64-bit images yield no abs32 places.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembler.h"
#include "deltapatch/elfbranch.h"
#include "deltapatch/elflayout.h"
#include "deltapatch/elfprogramwriter.h"

namespace deltapatch {

class DisassemblerElf64 : public Disassembler, private ElfProgramWriter::RelocationHandler {
public:
    DisassemblerElf64(const uint8_t* start, size_t length);

    // Checks the header for this class's machine, reads the section and program header tables
    // and reduces the length to the end they describe.
    bool parseHeader() override;
    // Emits the image with the branches as label references.
    bool disassemble(DisassembledProgram* program) override;

    // The ELF machine number this parser accepts.
    virtual uint16_t elfMachine() const = 0;
    // No relocation type is tracked in 64-bit images: always false.
    virtual bool relocationToRva(uint64_t place, uint64_t info, uint32_t* rva) const = 0;
    // Emits a relocation section (inside the image) through the writer.
    virtual bool parseRelocationSection(const ElfSection& section, ElfProgramWriter* writer) = 0;
    // Adds the branches in a program-bits section (inside the image) to `branches`.
    virtual bool parseFile(const ElfSection& section, ElfBranchList* branches) = 0;

    const ElfLayout& layout() const { return m_Layout; }

protected:
    const uint8_t* sectionBytes(const ElfSection& section) const
    {
        return start() + section.offset;
    }

private:
    bool handleRelocationSection(ElfProgramWriter* writer, const ElfSection& section) override
    {
        return parseRelocationSection(section, writer);
    }

    ElfLayout m_Layout;
};

} // namespace deltapatch
