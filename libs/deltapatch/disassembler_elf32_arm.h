// Parser of 32-bit ARM (ARM and Thumb-2 code) ELF executables and shared objects.
#pragma once

#include "deltapatch/disassembler_elf32.h"

namespace deltapatch {

class DisassemblerElf32ARM : public DisassemblerElf32 {
public:
    // One of five branch forms: 0 Thumb B<c> (16-bit), 1 Thumb B (16-bit), 2 ARM B/BL,
    // 3 Thumb-2 BL/BLX/B.W, 4 Thumb-2 B<c>.W. The RVA is that of the instruction.
    class TypedRVAARM : public TypedRVA {
    public:
        TypedRVAARM(uint32_t type, uint32_t rva) : TypedRVA(rva), m_Type(type) {}
        // Decodes the branch offset and the 16-bit opcode the assembler rebuilds it from.
        bool computeRelativeTarget(const uint8_t* bytes, size_t available) override;
        // An ARM rel32 instruction over the branch's own image bytes.
        bool emitInstruction(DisassembledProgram* program, uint32_t target) override;
        uint32_t instructionSize() const override { return m_Type <= 1 ? 2 : 4; }

        uint32_t type() const { return m_Type; }
        uint16_t opcode() const { return m_Opcode; }

    private:
        uint32_t m_Type;
        uint16_t m_Opcode = 0;
        const uint8_t* m_Bytes = nullptr;
    };

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
