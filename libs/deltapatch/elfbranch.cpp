// Ownership and ordering of the branches found in ELF code sections.
#include "deltapatch/elfbranch.h"

#include <algorithm>

namespace deltapatch {

bool ElfBranchList::add(ElfBranch* branch)
{
    if (branch == nullptr)
        return false;
    if (!m_Branches.push_back(branch)) {
        delete branch;
        return false;
    }
    return true;
}

void ElfBranchList::clear()
{
    for (size_t i = 0; i < m_Branches.size(); ++i)
        delete m_Branches[i];
    m_Branches.clear();
}

void ElfBranchList::sortByRva()
{
    ElfBranch** first = m_Branches.data();
    std::stable_sort(first, first + m_Branches.size(),
                     [](const ElfBranch* a, const ElfBranch* b) { return a->rva() < b->rva(); });
}

void ElfBranchList::sortByFileOffset()
{
    ElfBranch** first = m_Branches.data();
    std::stable_sort(first, first + m_Branches.size(), [](const ElfBranch* a, const ElfBranch* b) {
        return a->fileOffset() < b->fileOffset();
    });
}

} // namespace deltapatch
