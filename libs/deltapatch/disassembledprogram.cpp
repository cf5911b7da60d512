// Instruction list, label tables, default indexes and label trimming of a disassembled program.
#include "deltapatch/disassembledprogram.h"

#include <climits>
#include <new>
#include <string>

#include "deltapatch/enginelog.h"

namespace deltapatch {

namespace {

AddressLabel* findOrMake(DisassembledProgram::LabelTable* table, uint32_t rva)
{
    // The maps allocate through operator new; the engine reports that as a null label.
    try {
        AddressLabel& label = table->try_emplace(rva).first->second;
        label.rva = rva;
        if (label.referenceCount < INT32_MAX)
            ++label.referenceCount;
        return &label;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void numberInRvaOrder(DisassembledProgram::LabelTable* table)
{
    int32_t index = 0;
    for (auto& entry : *table)
        entry.second.index = index++;
}

} // namespace

DisassembledProgram::~DisassembledProgram()
{
    for (size_t i = 0; i < m_Instructions.size(); ++i) {
        if (m_Instructions[i]->kind() != INSTRUCTION_BYTE)
            delete m_Instructions[i];
    }
    delete[] m_ByteInstructions;
}

bool DisassembledProgram::append(Instruction* instruction)
{
    if (m_Instructions.push_back(instruction))
        return true;
    if (instruction->kind() != INSTRUCTION_BYTE)
        delete instruction;
    return false;
}

bool DisassembledProgram::emitNew(uint32_t kind, uint32_t value, AddressLabel* label,
                                  const uint8_t* bytes, uint16_t armOpcode)
{
    Instruction* instruction = new (std::nothrow) Instruction;
    if (instruction == nullptr)
        return false;
    instruction->word = kind;
    instruction->value = value;
    instruction->label = label;
    instruction->bytes = bytes;
    instruction->armOpcode = armOpcode;
    return append(instruction);
}

bool DisassembledProgram::emitOrigin(uint32_t rva)
{
    return emitNew(INSTRUCTION_ORIGIN, rva, nullptr, nullptr);
}

bool DisassembledProgram::emitByte(uint8_t value)
{
    if (m_ByteInstructions == nullptr) {
        m_ByteInstructions = new (std::nothrow) Instruction[256];
        if (m_ByteInstructions == nullptr)
            return false;
        for (uint32_t b = 0; b < 256; ++b)
            m_ByteInstructions[b].word = (b << 4) | INSTRUCTION_BYTE;
    }
    return append(&m_ByteInstructions[value]);
}

bool DisassembledProgram::emitByteRun(const uint8_t* bytes, uint32_t count)
{
    if (bytes == nullptr && count != 0)
        return false;
    return emitNew(INSTRUCTION_BYTE_RUN, count, nullptr, bytes);
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
    return emitNew(INSTRUCTION_ARM_REL32, length, label, bytes, opcode);
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
    numberInRvaOrder(&m_Rel32Labels);
    numberInRvaOrder(&m_Abs32Labels);
}

PatchStatus DisassembledProgram::trimLabels()
{
    if (m_Kind != ELF_32_ARM)
        return STATUS_OK;
    logDebug("TrimLabels: threshold " + std::to_string(kTrimThreshold));
    // Branches are rewritten before their labels leave the table, while the counts are at hand.
    for (size_t i = 0; i < m_Instructions.size(); ++i) {
        Instruction* branch = m_Instructions[i];
        if (branch->kind() != INSTRUCTION_ARM_REL32 || branch->label->referenceCount > kTrimThreshold)
            continue;
        if (branch->value == 0)
            return STATUS_TRIM_FAILED;
        Instruction* run = new (std::nothrow) Instruction;
        if (run == nullptr)
            return STATUS_TRIM_FAILED;
        run->word = INSTRUCTION_BYTE_RUN;
        run->value = branch->value;
        run->bytes = branch->bytes;
        m_Instructions[i] = run;
        delete branch;
    }
    return retireRarelyUsedRel32Labels() ? STATUS_OK : STATUS_TRIM_FAILED;
}

bool DisassembledProgram::retireRarelyUsedRel32Labels()
{
    size_t rare = 0;
    for (const auto& entry : m_Rel32Labels)
        rare += entry.second.referenceCount <= kTrimThreshold ? 1 : 0;
    try {
        m_RetiredLabels.reserve(m_RetiredLabels.size() + rare);
    } catch (const std::exception&) {
        return false;
    }
    for (auto it = m_Rel32Labels.begin(); it != m_Rel32Labels.end();) {
        auto next = std::next(it);
        if (it->second.referenceCount <= kTrimThreshold)
            m_RetiredLabels.push_back(m_Rel32Labels.extract(it)); // capacity reserved: no throw
        it = next;
    }
    return true;
}

} // namespace deltapatch
