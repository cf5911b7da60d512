// Parser of x86-64 ELF executables and shared objects.
#pragma once

#include "deltapatch/disassembler_elf64.h"

namespace deltapatch {

class DisassemblerElf64X64 : public DisassemblerElf64 {
public:
    DisassemblerElf64X64(const uint8_t* start, size_t length);

    ExecutableKind kind() const override { return ELF_64_X64; }
    uint16_t elfMachine() const override { return 62; }
    bool relocationToRva(uint64_t place, uint64_t info, uint32_t* rva) const override;
    // The whole section goes out as bytes.
    bool parseRelocationSection(const ElfSection& section, ElfProgramWriter* writer) override;
    bool parseFile(const ElfSection& section, ElfBranchList* branches) override;
};

} // namespace deltapatch
