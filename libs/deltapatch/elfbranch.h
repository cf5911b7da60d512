// A relative branch found in the code of an ELF image; each parser family derives its TypedRVA
// from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

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

// Owns the branches a scanner found. They live in large blocks of the list's own, made one
// after the other, so that finding hundreds of thousands of branches costs no allocation each.
class ElfBranchList {
public:
    ElfBranchList() = default;
    ~ElfBranchList() { clear(); }
    ElfBranchList(const ElfBranchList&) = delete;
    ElfBranchList& operator=(const ElfBranchList&) = delete;

    // Makes a branch of type T (derived from ElfBranch) and appends it; null when memory runs
    // out.
    template <typename T, typename... Args> T* make(Args... args)
    {
        void* place = allocate(sizeof(T), alignof(T));
        if (place == nullptr)
            return nullptr;
        T* branch = new (place) T(args...);
        if (!m_Branches.push_back(branch)) {
            branch->~T();
            m_Used = m_LastUsed;
            return nullptr;
        }
        return branch;
    }
    // Removes and destroys the branch made last, which must still be the last one listed.
    void dropLast();
    // Destroys every branch and releases the storage.
    void clear();
    size_t size() const { return m_Branches.size(); }
    ElfBranch* operator[](size_t i) const { return m_Branches[i]; }
    // Destroys the branches for which `keep` is false, keeping the order of the rest.
    template <typename Keep> void keepOnly(Keep keep)
    {
        size_t kept = 0;
        for (size_t i = 0; i < m_Branches.size(); ++i) {
            if (keep(m_Branches[i]))
                m_Branches[kept++] = m_Branches[i];
            else
                m_Branches[i]->~ElfBranch();
        }
        m_Branches.resize(kept, nullptr);
    }
    // Stable sorts by RVA, or by file offset.
    void sortByRva();
    void sortByFileOffset();
    // True when every branch lies after the one before it in the file.
    bool ascendingInFile() const;

private:
    // Room for `size` bytes at `alignment` in the current block or a new one; null when memory
    // runs out.
    void* allocate(size_t size, size_t alignment);

    GrowableArray<ElfBranch*> m_Branches;
    GrowableArray<uint8_t*> m_Blocks;
    size_t m_Used = 0; // bytes taken in the last block
    size_t m_LastUsed = 0; // m_Used before the last branch was made
};

} // namespace deltapatch
