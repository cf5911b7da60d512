// Encoding a disassembled program into flat vectors.
#include "deltapatch/encodedprogram.h"

#include <algorithm>

namespace deltapatch {

namespace {

constexpr uint32_t kUnassignedRva = 0xFFFFFFFF;

// Index -> RVA for one label table. Indexes without a label repeat the entry before them, so
// the delta-coded stream stays small.
bool fillLabelRvas(const DisassembledProgram::LabelTable& table, GrowableArray<uint32_t>* rvas)
{
    size_t needed = 0;
    for (const auto& entry : table) {
        if (entry.second.index < 0)
            return false;
        needed = std::max(needed, static_cast<size_t>(entry.second.index) + 1);
    }
    if (!rvas->resize(needed, kUnassignedRva))
        return false;
    for (const auto& entry : table)
        (*rvas)[static_cast<size_t>(entry.second.index)] = entry.second.rva;
    uint32_t previous = 0;
    for (size_t i = 0; i < rvas->size(); ++i) {
        if ((*rvas)[i] == kUnassignedRva)
            (*rvas)[i] = previous;
        previous = (*rvas)[i];
    }
    return true;
}

// Consecutive bytes share one copy op; a lone byte uses the shorter single-byte copy.
bool addBytes(EncodedProgram* encoded, const uint8_t* bytes, uint32_t n)
{
    GrowableArray<uint32_t>& ops = encoded->ops;
    GrowableArray<uint32_t>& counts = encoded->copyCounts;
    if (!ops.empty() && ops[ops.size() - 1] == OP_COPY1) {
        ops[ops.size() - 1] = OP_COPY;
        if (!counts.push_back(1))
            return false;
    }
    if (!ops.empty() && ops[ops.size() - 1] == OP_COPY) {
        uint32_t& count = counts[counts.size() - 1];
        if (count > UINT32_MAX - n)
            return false;
        count += n;
    } else if (n == 1) {
        if (!ops.push_back(OP_COPY1))
            return false;
    } else if (n > 1) {
        if (!ops.push_back(OP_COPY) || !counts.push_back(n))
            return false;
    }
    return encoded->copyBytes.append(bytes, n);
}

bool addReference(GrowableArray<uint32_t>* ops, uint32_t op, GrowableArray<uint32_t>* indexes,
                  const AddressLabel* label)
{
    return ops->push_back(op) && indexes->push_back(static_cast<uint32_t>(label->index));
}

bool addInstruction(const Instruction& in, ExecutableKind kind, EncodedProgram* encoded)
{
    switch (in.kind()) {
    case INSTRUCTION_ORIGIN:
        return encoded->ops.push_back(OP_ORIGIN) && encoded->origins.push_back(in.value);
    case INSTRUCTION_BYTE: {
        const uint8_t value = in.byteValue();
        return addBytes(encoded, &value, 1);
    }
    case INSTRUCTION_BYTE_RUN:
        return addBytes(encoded, in.bytes, in.value);
    case INSTRUCTION_REL32:
        return addReference(&encoded->ops, OP_REL32, &encoded->rel32Indexes, in.label);
    case INSTRUCTION_ABS32:
        return addReference(&encoded->ops, OP_ABS32, &encoded->abs32Indexes, in.label);
    case INSTRUCTION_ARM_REL32:
        return addReference(&encoded->ops, in.armOpcode, &encoded->rel32Indexes, in.label);
    case INSTRUCTION_PE_RELOCS:
        return encoded->ops.push_back(kind == WIN_32_X86 ? OP_MAKE_PE_RELOCATION_TABLE
                                                         : OP_MAKE_PE64_RELOCATION_TABLE);
    case INSTRUCTION_ELF_RELOCS:
        return encoded->ops.push_back(OP_MAKE_ELF_RELOCATION_TABLE);
    case INSTRUCTION_ELF_ARM_RELOCS:
        return encoded->ops.push_back(OP_MAKE_ELF_ARM_RELOCATION_TABLE);
    }
    return false;
}

// Room for everything the instructions add, so that no vector is copied while it grows: exact
// for origins, bytes and indexes, an upper bound for ops and copy counts.
bool reserveFor(const DisassembledProgram& program, EncodedProgram* encoded)
{
    const size_t n = program.instructionCount();
    size_t origins = 0, copies = 0, bytes = 0, rel32 = 0, abs32 = 0;
    for (size_t i = 0; i < n; ++i) {
        const Instruction& in = program.instruction(i);
        switch (in.kind()) {
        case INSTRUCTION_ORIGIN:
            ++origins;
            break;
        case INSTRUCTION_BYTE:
            ++copies;
            ++bytes;
            break;
        case INSTRUCTION_BYTE_RUN:
            ++copies;
            bytes += in.value;
            break;
        case INSTRUCTION_REL32:
        case INSTRUCTION_ARM_REL32:
            ++rel32;
            break;
        case INSTRUCTION_ABS32:
            ++abs32;
            break;
        default:
            break;
        }
    }
    return encoded->ops.reserve(n) && encoded->origins.reserve(origins) &&
           encoded->copyCounts.reserve(copies) && encoded->copyBytes.reserve(bytes) &&
           encoded->rel32Indexes.reserve(rel32) && encoded->abs32Indexes.reserve(abs32);
}

} // namespace

PatchStatus EncodeProgram(const DisassembledProgram& program, EncodedProgram* encoded)
{
    encoded->imageBase = program.imageBase();
    if (!fillLabelRvas(program.abs32Labels(), &encoded->abs32Rvas) ||
        !fillLabelRvas(program.rel32Labels(), &encoded->rel32Rvas) ||
        !reserveFor(program, encoded))
        return STATUS_GENERAL_ERROR;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        if (!addInstruction(program.instruction(i), program.kind(), encoded))
            return STATUS_GENERAL_ERROR;
    }
    return STATUS_OK;
}

} // namespace deltapatch
