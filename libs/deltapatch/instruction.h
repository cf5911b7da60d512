// One step of a disassembled program: raw bytes, a position marker or a label reference.
#pragma once

#include <cstdint>

#include "deltapatch/addresslabel.h"

namespace deltapatch {

enum InstructionKind : uint32_t {
    INSTRUCTION_ORIGIN = 0,
    INSTRUCTION_PE_RELOCS = 1,
    INSTRUCTION_ELF_RELOCS = 2,
    INSTRUCTION_BYTE = 3,
    INSTRUCTION_REL32 = 4,
    INSTRUCTION_ABS32 = 5,
    INSTRUCTION_ARM_REL32 = 6,
    INSTRUCTION_ELF_ARM_RELOCS = 7,
    INSTRUCTION_BYTE_RUN = 8,
};

// Stored by value in one flat array, millions of them for a large image: 16 bytes.
struct Instruction {
    // Kind in the low four bits; a byte instruction keeps its value in the bits above.
    uint16_t word = 0;
    uint16_t armOpcode = 0;
    // Origin RVA, or the number of image bytes of a byte run or an ARM branch.
    uint32_t value = 0;
    union {
        // The label of a reference (rel32, abs32, ARM branch).
        AddressLabel* label = nullptr;
        // The image bytes of a byte run; the image outlives the program. An ARM branch's bytes
        // are kept by the program beside the list (DisassembledProgram::armBranchBytes).
        const uint8_t* bytes;
    };

    InstructionKind kind() const { return static_cast<InstructionKind>(word & 0xF); }
    uint8_t byteValue() const { return static_cast<uint8_t>(word >> 4); }
};

static_assert(sizeof(Instruction) == 16, "programs hold millions of instructions");

} // namespace deltapatch
