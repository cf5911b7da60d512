// Parser of 32-bit ARM (ARM and Thumb-2 code) ELF executables and shared objects.
#pragma once

#include "deltapatch/disassembler_elf32.h"

namespace deltapatch {

class DisassemblerElf32ARM : public DisassemblerElf32 {
public:
    // Branches come in five forms (ElfBranchForm 0..4): Thumb B<c> and B (16-bit), ARM B/BL,
    // Thumb-2 BL/BLX/B.W and Thumb-2 B<c>.W. The RVA is that of the instruction.
    DisassemblerElf32ARM(const uint8_t* start, size_t length);

    ExecutableKind kind() const override { return ELF_32_ARM; }
    uint16_t elfMachine() const override { return 40; }
    // Accepts R_ARM_RELATIVE entries (info 23: relative, no symbol).
    bool relocationToRva(uint32_t place, uint32_t info, uint32_t* rva) const override;
    // Replaces the run of abs32 relocations by an ARM relocation-table marker. Entries matched
    // before a mismatch, and the mismatching one, are left out; the final diff restores them.
    bool parseRelocationSection(const ElfSection& section, ElfProgramWriter* writer) override;
    bool parseFile(const ElfSection& section, ElfBranchList* branches) override;

private:
    static bool matchRun(const uint8_t* bytes, uint64_t readable,
                         const GrowableArray<uint32_t>& rvas, uint64_t* entry,
                         ElfProgramWriter* writer);
};

} // namespace deltapatch
