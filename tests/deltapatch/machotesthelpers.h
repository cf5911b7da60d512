// Helpers of the parser tests: what a disassembled program references, and its bytes after the
// whole trip through encoding, the stream layout and assembly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "deltapatch/encodedprogram.h"

namespace deltapatch {
namespace testing {

struct FoundRel32 {
    uint32_t rva; // of the displacement field
    uint32_t target;
    bool operator==(const FoundRel32& other) const
    {
        return rva == other.rva && target == other.target;
    }
};

inline std::ostream& operator<<(std::ostream& out, const FoundRel32& found)
{
    return out << std::hex << "{0x" << found.rva << " -> 0x" << found.target << "}" << std::dec;
}

// The rel32 references in program order, with the RVAs that the origins give them.
inline std::vector<FoundRel32> rel32sOf(const DisassembledProgram& program)
{
    std::vector<FoundRel32> found;
    uint32_t rva = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction& instruction = program.instruction(i);
        switch (instruction.kind()) {
        case INSTRUCTION_ORIGIN:
            rva = instruction.value;
            break;
        case INSTRUCTION_REL32:
            found.push_back({rva, instruction.label->rva});
            rva += 4;
            break;
        case INSTRUCTION_BYTE_RUN:
            rva += instruction.value;
            break;
        default:
            ++rva;
        }
    }
    return found;
}

// Trims, encodes, serialises, reads back and assembles the program. Empty on any failure.
inline std::vector<uint8_t> reassemble(DisassembledProgram* program)
{
    EncodedProgram encoded;
    ByteSinkSet streams;
    ByteSink serialised;
    if (program->trimLabels() != STATUS_OK || EncodeProgram(*program, &encoded) != STATUS_OK ||
        WriteEncodedProgram(encoded, &streams) != STATUS_OK ||
        !streams.copyToOneStream(&serialised)) {
        ADD_FAILURE() << "could not encode the program";
        return {};
    }
    ByteSourceSet read;
    EncodedProgram decoded;
    ByteSink assembled;
    if (!read.init(serialised.data(), serialised.length()) ||
        ReadEncodedProgram(&read, &decoded) != STATUS_OK ||
        AssembleProgram(decoded, &assembled) != STATUS_OK) {
        ADD_FAILURE() << "could not read back or assemble the program";
        return {};
    }
    return std::vector<uint8_t>(assembled.data(), assembled.data() + assembled.length());
}

} // namespace testing
} // namespace deltapatch
