// Emission, storage and ordering of the branches found in ELF code sections.
#include "deltapatch/elfbranch.h"

#include <algorithm>

namespace deltapatch {

bool ElfBranch::emitInstruction(DisassembledProgram* program, const uint8_t* image) const
{
    AddressLabel* label = program->findOrMakeRel32Label(target());
    if (m_Form == ELF_BRANCH_X86_REL32)
        return program->emitRel32(label);
    return program->emitArmRel32(m_ArmOpcode, label, image + fileOffset(), instructionSize());
}

void ElfBranchList::dropLast()
{
    if (!m_Branches.empty())
        m_Branches.resize(m_Branches.size() - 1, ElfBranch());
}

void ElfBranchList::sortByRva()
{
    ElfBranch* first = m_Branches.data();
    std::stable_sort(first, first + m_Branches.size(),
                     [](const ElfBranch& a, const ElfBranch& b) { return a.rva() < b.rva(); });
}

void ElfBranchList::sortByFileOffset()
{
    ElfBranch* first = m_Branches.data();
    std::stable_sort(first, first + m_Branches.size(), [](const ElfBranch& a, const ElfBranch& b) {
        return a.fileOffset() < b.fileOffset();
    });
}

bool ElfBranchList::ascendingInFile() const
{
    for (size_t i = 1; i < m_Branches.size(); ++i) {
        if (m_Branches[i - 1].fileOffset() >= m_Branches[i].fileOffset())
            return false;
    }
    return true;
}

} // namespace deltapatch
