// Image offsets of a program's label references, found by replaying the instruction lengths.
#include "deltapatch/programreferences.h"

#include <algorithm>

namespace deltapatch {
namespace {

uint64_t imageBytesOf(const Instruction& instruction)
{
    switch (instruction.kind()) {
    case INSTRUCTION_BYTE:
        return 1;
    case INSTRUCTION_REL32:
    case INSTRUCTION_ABS32:
        return 4;
    case INSTRUCTION_BYTE_RUN:
    case INSTRUCTION_ARM_REL32:
        return instruction.value;
    default:
        return 0;
    }
}

bool isTableMarker(InstructionKind kind)
{
    return kind == INSTRUCTION_PE_RELOCS || kind == INSTRUCTION_ELF_RELOCS ||
           kind == INSTRUCTION_ELF_ARM_RELOCS;
}

// The table a reference instruction uses, or LABEL_TABLE_COUNT for other instructions.
LabelTableId tableOf(InstructionKind kind)
{
    if (kind == INSTRUCTION_REL32 || kind == INSTRUCTION_ARM_REL32)
        return REL32_TABLE;
    return kind == INSTRUCTION_ABS32 ? ABS32_TABLE : LABEL_TABLE_COUNT;
}

template <typename T, typename Key> auto firstAbove(const std::vector<T>& items, Key key, Key T::*field)
{
    return std::upper_bound(items.begin(), items.end(), key,
                            [field](Key k, const T& item) { return k < item.*field; });
}

} // namespace

void ProgramReferences::collect(const DisassembledProgram& program, uint64_t imageLength)
{
    uint64_t covered = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        covered += imageBytesOf(program.instruction(i));
    // The assembler writes a marked relocation table where its marker stands.
    uint64_t tableBytes = imageLength > covered ? imageLength - covered : 0;
    uint64_t offset = 0;
    for (size_t table = 0; table < LABEL_TABLE_COUNT; ++table) {
        m_References[table].clear();
        m_Labels[table].clear();
    }
    m_ByOffset.clear();
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction& instruction = program.instruction(i);
        const InstructionKind kind = instruction.kind();
        if (kind == INSTRUCTION_ORIGIN || isTableMarker(kind)) {
            closeStretch(offset);
            if (kind == INSTRUCTION_ORIGIN)
                m_ByOffset.push_back({offset, instruction.value, 0});
            offset += isTableMarker(kind) ? std::exchange(tableBytes, 0) : 0;
            continue;
        }
        const LabelTableId table = tableOf(kind);
        if (table != LABEL_TABLE_COUNT && instruction.label->index >= 0)
            m_References[table].push_back({offset, uint32_t(instruction.label->index)});
        offset += imageBytesOf(instruction);
    }
    closeStretch(offset);
    m_ByRva = m_ByOffset;
    std::sort(m_ByRva.begin(), m_ByRva.end(),
              [](const Placed& a, const Placed& b) { return a.rva < b.rva; });
    for (const auto& entry : program.rel32Labels())
        addLabel(REL32_TABLE, entry.second);
    for (const auto& entry : program.abs32Labels())
        addLabel(ABS32_TABLE, entry.second);
    collectReferencedLabels(program);
    finishLabels(REL32_TABLE);
    finishLabels(ABS32_TABLE);
}

// The stretch opened by the last origin ends here; an empty one is dropped.
void ProgramReferences::closeStretch(uint64_t offset)
{
    if (m_ByOffset.empty() || m_ByOffset.back().length != 0)
        return;
    if (offset == m_ByOffset.back().offset)
        m_ByOffset.pop_back();
    else
        m_ByOffset.back().length = offset - m_ByOffset.back().offset;
}

void ProgramReferences::addLabel(LabelTableId table, const AddressLabel& label)
{
    if (label.index >= 0)
        m_Labels[table].push_back({label.rva, uint32_t(label.index)});
}

// Labels that trimming took out of a table can still be named by an instruction.
void ProgramReferences::collectReferencedLabels(const DisassembledProgram& program)
{
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction& instruction = program.instruction(i);
        const LabelTableId table = tableOf(instruction.kind());
        if (table != LABEL_TABLE_COUNT)
            addLabel(table, *instruction.label);
    }
}

void ProgramReferences::finishLabels(LabelTableId table)
{
    std::vector<IndexedLabel>& labels = m_Labels[table];
    auto byIndex = [](const IndexedLabel& a, const IndexedLabel& b) { return a.index < b.index; };
    std::sort(labels.begin(), labels.end(), byIndex);
    labels.erase(std::unique(labels.begin(), labels.end(),
                             [](const IndexedLabel& a, const IndexedLabel& b) {
                                 return a.index == b.index;
                             }),
                 labels.end());
    m_IndexSpace[table] = labels.empty() ? 0 : labels.back().index + 1;
    std::stable_sort(labels.begin(), labels.end(),
                     [](const IndexedLabel& a, const IndexedLabel& b) { return a.rva < b.rva; });
}

int64_t ProgramReferences::indexReferencedAt(LabelTableId table, uint64_t offset) const
{
    const std::vector<LabelReference>& refs = m_References[table];
    auto at = std::lower_bound(
        refs.begin(), refs.end(), offset,
        [](const LabelReference& ref, uint64_t o) { return ref.offset < o; });
    return at != refs.end() && at->offset == offset ? int64_t(at->index) : -1;
}

int64_t ProgramReferences::indexAtRva(LabelTableId table, uint32_t rva) const
{
    const std::vector<IndexedLabel>& labels = m_Labels[table];
    auto at = std::lower_bound(labels.begin(), labels.end(), rva,
                               [](const IndexedLabel& label, uint32_t r) { return label.rva < r; });
    return at != labels.end() && at->rva == rva ? int64_t(at->index) : -1;
}

int64_t ProgramReferences::offsetOfRva(uint32_t rva) const
{
    auto after = firstAbove(m_ByRva, rva, &Placed::rva);
    if (after == m_ByRva.begin())
        return -1;
    const Placed& stretch = *(after - 1);
    const uint64_t into = uint64_t(rva) - stretch.rva;
    return into < stretch.length ? int64_t(stretch.offset + into) : -1;
}

int64_t ProgramReferences::rvaOfOffset(uint64_t offset) const
{
    auto after = firstAbove(m_ByOffset, offset, &Placed::offset);
    if (after == m_ByOffset.begin())
        return -1;
    const Placed& stretch = *(after - 1);
    const uint64_t into = offset - stretch.offset;
    if (into >= stretch.length || stretch.rva + into > UINT32_MAX)
        return -1;
    return int64_t(stretch.rva + into);
}

} // namespace deltapatch
