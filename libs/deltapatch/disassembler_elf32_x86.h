// Parser of 32-bit x86 ELF executables and shared objects.
#pragma once

#include "deltapatch/disassembler_elf32.h"

namespace deltapatch {

class DisassemblerElf32X86 : public DisassemblerElf32 {
public:
    DisassemblerElf32X86(const uint8_t* start, size_t length);

    ExecutableKind kind() const override { return EXE_ELF_32_X86; }
    uint16_t elfMachine() const override { return 3; }
    // Accepts R_386_RELATIVE entries (info 8: relative, no symbol).
    bool relocationToRva(uint32_t place, uint32_t info, uint32_t* rva) const override;
    // Replaces a leading run of exactly the abs32 relocations by a relocation-table marker;
    // otherwise the section goes out as bytes.
    bool parseRelocationSection(const ElfSection& section, ElfProgramWriter* writer) override;
    bool parseFile(const ElfSection& section, ElfBranchList* branches) override;
};

} // namespace deltapatch
