// Common part of the 32-bit ELF parsers: header check, abs32 places from relative relocations,
// branches from the code scanner of the architecture, and emission.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembler.h"
#include "deltapatch/elfbranch.h"
#include "deltapatch/elflayout.h"
#include "deltapatch/elfprogramwriter.h"

namespace deltapatch {

class DisassemblerElf32 : public Disassembler, private ElfProgramWriter::RelocationHandler {
public:
    DisassemblerElf32(const uint8_t* start, size_t length);

    // Checks the header for this class's machine, reads the section and program header tables
    // and reduces the length to the end they describe.
    bool parseHeader() override;
    // Emits the image with abs32 places and branches as label references.
    bool disassemble(DisassembledProgram* program) override;

    // The ELF machine number this parser accepts.
    virtual uint16_t elfMachine() const = 0;
    // The place of a relocation entry when its info is the relative type this parser tracks.
    virtual bool relocationToRva(uint32_t place, uint32_t info, uint32_t* rva) const = 0;
    // Emits a relocation section (inside the image) through the writer.
    virtual bool parseRelocationSection(const ElfSection& section, ElfProgramWriter* writer) = 0;
    // Adds the branches in a program-bits section (inside the image) to `branches`; false when
    // memory runs out or an instruction cannot be decoded.
    virtual bool parseFile(const ElfSection& section, ElfBranchList* branches) = 0;

    const ElfLayout& layout() const { return m_Layout; }

protected:
    // The image bytes of a section already known to lie inside the image.
    const uint8_t* sectionBytes(const ElfSection& section) const
    {
        return start() + section.offset;
    }

private:
    bool handleRelocationSection(ElfProgramWriter* writer, const ElfSection& section) override
    {
        return parseRelocationSection(section, writer);
    }
    bool collectAbs32(ElfProgramWriter* writer) const;
    bool collectBranches(ElfBranchList* branches);

    ElfLayout m_Layout;
};

} // namespace deltapatch
