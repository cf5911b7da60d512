// Storage, ownership and ordering of the branches found in ELF code sections.
#include "deltapatch/elfbranch.h"

#include <algorithm>

#include "deltapatch/bufferallocation.h"

namespace deltapatch {

namespace {

// One huge page, which the engine's allocator maps for any large buffer up to that size.
constexpr size_t kBlockSize = size_t(2) << 20;

} // namespace

void* ElfBranchList::allocate(size_t size, size_t alignment)
{
    size_t at = (m_Used + alignment - 1) / alignment * alignment;
    m_LastUsed = m_Used;
    if (m_Blocks.empty() || at > kBlockSize || size > kBlockSize - at) {
        if (size > kBlockSize)
            return nullptr;
        auto* block = static_cast<uint8_t*>(AllocateBuffer(kBlockSize));
        if (block == nullptr)
            return nullptr;
        if (!m_Blocks.push_back(block)) {
            FreeBuffer(block, kBlockSize);
            return nullptr;
        }
        at = 0;
        m_LastUsed = 0;
    }
    m_Used = at + size;
    return m_Blocks[m_Blocks.size() - 1] + at;
}

void ElfBranchList::dropLast()
{
    const size_t n = m_Branches.size();
    if (n == 0)
        return;
    m_Branches[n - 1]->~ElfBranch();
    m_Branches.resize(n - 1, nullptr);
    // The block it was made in stays; only its room is taken back.
    m_Used = m_LastUsed;
}

void ElfBranchList::clear()
{
    for (size_t i = 0; i < m_Branches.size(); ++i)
        m_Branches[i]->~ElfBranch();
    m_Branches.clear();
    for (size_t i = 0; i < m_Blocks.size(); ++i)
        FreeBuffer(m_Blocks[i], kBlockSize);
    m_Blocks.clear();
    m_Used = 0;
    m_LastUsed = 0;
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

bool ElfBranchList::ascendingInFile() const
{
    for (size_t i = 1; i < m_Branches.size(); ++i) {
        if (m_Branches[i - 1]->fileOffset() >= m_Branches[i]->fileOffset())
            return false;
    }
    return true;
}

} // namespace deltapatch
