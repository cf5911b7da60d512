// Instruction list, label tables, default indexes and label trimming of a disassembled program.
#include "deltapatch/disassembledprogram.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <string>

#include "deltapatch/bufferallocation.h"
#include "deltapatch/enginelog.h"

namespace deltapatch {

namespace {

AddressLabel* findOrMake(LabelTable* table, uint32_t rva)
{
    AddressLabel* label = table->findOrMake(rva);
    if (label != nullptr && label->referenceCount < INT32_MAX)
        ++label->referenceCount;
    return label;
}

} // namespace

DisassembledProgram::~DisassembledProgram()
{
    for (size_t i = 0; i < m_InstructionBlocks.size(); ++i)
        FreeBuffer(m_InstructionBlocks[i], blockBytes(i));
}

void DisassembledProgram::releaseInstructionsBefore(size_t i)
{
    const size_t blocks = std::min(blockOf(i), m_InstructionBlocks.size());
    for (; m_ReleasedBlocks < blocks; ++m_ReleasedBlocks) {
        FreeBuffer(m_InstructionBlocks[m_ReleasedBlocks], blockBytes(m_ReleasedBlocks));
        m_InstructionBlocks[m_ReleasedBlocks] = nullptr;
    }
}

bool DisassembledProgram::reserve(size_t instructions, size_t rel32Labels, size_t abs32Labels)
{
    // Only the block list is sized: blocks are made as instructions arrive.
    const bool listed = instructions == 0 || growBlockList(blockOf(instructions - 1) + 1);
    m_InstructionsFailed = m_InstructionsFailed || !listed;
    const bool rel32 = m_Rel32Labels.reserve(rel32Labels);
    const bool abs32 = m_Abs32Labels.reserve(abs32Labels);
    return listed && rel32 && abs32;
}

// Grown into a copy, so that running out of memory never loses the blocks already made.
bool DisassembledProgram::growBlockList(size_t capacity)
{
    if (capacity <= m_BlockCapacity)
        return true;
    GrowableArray<Instruction*> grown;
    if (!grown.reserve(capacity) ||
        !grown.append(m_InstructionBlocks.data(), m_InstructionBlocks.size()))
        return false;
    m_InstructionBlocks = std::move(grown);
    m_BlockCapacity = capacity;
    return true;
}

bool DisassembledProgram::append(const Instruction& instruction)
{
    const size_t i = m_InstructionCount;
    if (m_InstructionsFailed || m_ReleasedBlocks != 0)
        return false;
    const size_t blocks = m_InstructionBlocks.size();
    if (blockOf(i) == blocks) {
        const size_t bytes = blockBytes(blocks);
        auto* block = static_cast<Instruction*>(
            growBlockList(std::max<size_t>(8, 2 * blocks)) ? AllocateBuffer(bytes) : nullptr);
        if (block == nullptr) {
            m_InstructionsFailed = true;
            return false;
        }
        m_InstructionBlocks.push_back(block); // within the capacity: cannot fail
    }
    *instructionAt(i) = instruction;
    m_InstructionCount = i + 1;
    return true;
}

bool DisassembledProgram::emitNew(uint32_t kind, uint32_t value, AddressLabel* label,
                                  const uint8_t* bytes, uint16_t armOpcode)
{
    Instruction instruction;
    instruction.word = uint16_t(kind);
    instruction.armOpcode = armOpcode;
    instruction.value = value;
    if (label != nullptr)
        instruction.label = label;
    else
        instruction.bytes = bytes;
    return append(instruction);
}

bool DisassembledProgram::emitOrigin(uint32_t rva)
{
    return emitNew(INSTRUCTION_ORIGIN, rva, nullptr, nullptr);
}

bool DisassembledProgram::emitByte(uint8_t value)
{
    return emitNew(uint32_t(value) << 4 | INSTRUCTION_BYTE, 0, nullptr, nullptr);
}

bool DisassembledProgram::emitByteRun(const uint8_t* bytes, uint32_t count)
{
    if (bytes == nullptr && count != 0)
        return false;
    return emitNew(INSTRUCTION_BYTE_RUN, count, nullptr, bytes);
}

bool DisassembledProgram::emitBytes(const uint8_t* bytes, size_t count)
{
    // Run counts are 32 bits; longer stretches go out in pieces.
    constexpr size_t kMaxRun = 0x40000000;
    while (count > 0) {
        const size_t n = count < kMaxRun ? count : kMaxRun;
        if (!emitByteRun(bytes, uint32_t(n)))
            return false;
        bytes += n;
        count -= n;
    }
    return true;
}

bool DisassembledProgram::emitRel32(AddressLabel* label)
{
    return label != nullptr && emitNew(INSTRUCTION_REL32, 0, label, nullptr);
}

bool DisassembledProgram::emitAbs32(AddressLabel* label)
{
    return label != nullptr && emitNew(INSTRUCTION_ABS32, 0, label, nullptr);
}

bool DisassembledProgram::emitArmRel32(uint16_t opcode, AddressLabel* label,
                                       const uint8_t* bytes, uint32_t length)
{
    if (label == nullptr || (bytes == nullptr && length != 0))
        return false;
    // Both lists grow together or not at all.
    if (!m_ArmBranchBytes.push_back(bytes))
        return false;
    if (emitNew(INSTRUCTION_ARM_REL32, length, label, nullptr, opcode))
        return true;
    m_ArmBranchBytes.resize(m_ArmBranchBytes.size() - 1, nullptr);
    return false;
}

bool DisassembledProgram::emitPeRelocationTable()
{
    return emitNew(INSTRUCTION_PE_RELOCS, 0, nullptr, nullptr);
}

bool DisassembledProgram::emitElfRelocationTable()
{
    return emitNew(INSTRUCTION_ELF_RELOCS, 0, nullptr, nullptr);
}

bool DisassembledProgram::emitElfArmRelocationTable()
{
    return emitNew(INSTRUCTION_ELF_ARM_RELOCS, 0, nullptr, nullptr);
}

AddressLabel* DisassembledProgram::findOrMakeRel32Label(uint32_t rva)
{
    return findOrMake(&m_Rel32Labels, rva);
}

AddressLabel* DisassembledProgram::findOrMakeAbs32Label(uint32_t rva)
{
    return findOrMake(&m_Abs32Labels, rva);
}

void DisassembledProgram::assignDefaultIndexes()
{
    m_Rel32Labels.numberInRvaOrder();
    m_Abs32Labels.numberInRvaOrder();
}

PatchStatus DisassembledProgram::trimLabels()
{
    if (m_Kind != ELF_32_ARM)
        return STATUS_OK;
    logDebug("TrimLabels: threshold " + std::to_string(kTrimThreshold));
    // Branches are rewritten before their labels leave the table, while the counts are at hand.
    size_t armBranch = 0;
    for (size_t i = 0; i < m_InstructionCount; ++i) {
        Instruction& branch = *instructionAt(i);
        if (branch.kind() != INSTRUCTION_ARM_REL32)
            continue;
        // A second trim finds the list let go, and only branches that stay.
        const uint8_t* bytes =
            armBranch < m_ArmBranchBytes.size() ? m_ArmBranchBytes[armBranch] : nullptr;
        ++armBranch;
        if (branch.label->referenceCount > kTrimThreshold)
            continue;
        if (branch.value == 0 || bytes == nullptr)
            return STATUS_TRIM_FAILED;
        branch.word = INSTRUCTION_BYTE_RUN;
        branch.armOpcode = 0;
        branch.bytes = bytes;
    }
    // The trimmed branches are byte runs now; the bytes of the others are not needed again.
    m_ArmBranchBytes.clear();
    m_Rel32Labels.remove(
        [](const AddressLabel& label) { return label.referenceCount <= kTrimThreshold; });
    return STATUS_OK;
}

} // namespace deltapatch
