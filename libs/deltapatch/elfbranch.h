// A relative branch found in the code of an ELF image; each parser family derives its TypedRVA
// from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembledprogram.h"

namespace deltapatch {

class ElfBranch {
public:
    explicit ElfBranch(uint32_t rva) : m_Rva(rva) {}
    virtual ~ElfBranch() = default;
    ElfBranch(const ElfBranch&) = delete;
    ElfBranch& operator=(const ElfBranch&) = delete;

    // Decodes the instruction at `bytes` (`available` bytes readable) and stores its target
    // relative to the branch's RVA; false when the bytes hold no branch of this type.
    virtual bool computeRelativeTarget(const uint8_t* bytes, size_t available) = 0;
    // Emits the reference to the label of `target` into the program; false when it cannot.
    virtual bool emitInstruction(DisassembledProgram* program, uint32_t target) = 0;
    // Image bytes the emitted instruction stands for.
    virtual uint32_t instructionSize() const = 0;

    uint32_t rva() const { return m_Rva; }
    uint32_t relativeTarget() const { return m_RelativeTarget; }
    uint32_t target() const { return m_Rva + m_RelativeTarget; }
    // Where the scanner found the instruction.
    uint64_t fileOffset() const { return m_FileOffset; }
    void setFileOffset(uint64_t offset) { m_FileOffset = offset; }

protected:
    void setRelativeTarget(uint32_t relative) { m_RelativeTarget = relative; }

private:
    uint32_t m_Rva;
    uint32_t m_RelativeTarget = 0;
    uint64_t m_FileOffset = 0;
};

// Owns the branches a scanner found.
class ElfBranchList {
public:
    ElfBranchList() = default;
    ~ElfBranchList() { clear(); }
    ElfBranchList(const ElfBranchList&) = delete;
    ElfBranchList& operator=(const ElfBranchList&) = delete;

    // Takes ownership; false (and the branch deleted) when `branch` is null or memory runs out.
    bool add(ElfBranch* branch);
    void clear();
    size_t size() const { return m_Branches.size(); }
    ElfBranch* operator[](size_t i) const { return m_Branches[i]; }
    // Deletes the branches for which `keep` is false, keeping the order of the rest.
    template <typename Keep> void keepOnly(Keep keep)
    {
        size_t kept = 0;
        for (size_t i = 0; i < m_Branches.size(); ++i) {
            if (keep(m_Branches[i]))
                m_Branches[kept++] = m_Branches[i];
            else
                delete m_Branches[i];
        }
        m_Branches.resize(kept, nullptr);
    }
    // Stable sorts by RVA, or by file offset.
    void sortByRva();
    void sortByFileOffset();

private:
    GrowableArray<ElfBranch*> m_Branches;
};

} // namespace deltapatch
