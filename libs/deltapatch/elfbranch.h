// A relative branch found in the code of an ELF image, kept as a 16-byte record, and the list
// that holds the branches of one image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// What a branch stands for in the image: a 32-bit x86 displacement field, or one of the five
// ARM forms (see DisassemblerElf32ARM).
enum ElfBranchForm : uint8_t {
    ELF_BRANCH_ARM_THUMB_BCOND = 0, // Thumb B<c>, 16-bit
    ELF_BRANCH_ARM_THUMB_B = 1, // Thumb B, 16-bit
    ELF_BRANCH_ARM_B = 2, // ARM B/BL, 32-bit
    ELF_BRANCH_ARM_THUMB2_BL = 3, // Thumb-2 BL/BLX/B.W
    ELF_BRANCH_ARM_THUMB2_BCOND = 4, // Thumb-2 B<c>.W
    ELF_BRANCH_X86_REL32 = 5, // x86 and x86-64 rel32 field
};

// Hundreds of thousands of these exist at once in large images, so the record is plain data of
// 16 bytes; what differs between forms is chosen by `form`. File offsets take 40 bits.
class ElfBranch {
public:
    static constexpr uint64_t kMaxFileOffset = (uint64_t(1) << 40) - 1;

    ElfBranch() = default;
    ElfBranch(ElfBranchForm form, uint32_t rva, uint32_t relativeTarget, uint16_t armOpcode = 0)
        : m_Rva(rva), m_RelativeTarget(relativeTarget), m_Form(form), m_ArmOpcode(armOpcode)
    {
    }

    ElfBranchForm form() const { return ElfBranchForm(m_Form); }
    uint32_t rva() const { return m_Rva; }
    uint32_t relativeTarget() const { return m_RelativeTarget; }
    uint32_t target() const { return m_Rva + m_RelativeTarget; }
    // The 16-bit opcode the assembler rebuilds an ARM branch from; 0 for x86.
    uint16_t armOpcode() const { return m_ArmOpcode; }
    // Image bytes the branch stands for: 2 for the 16-bit Thumb forms, else 4.
    uint32_t instructionSize() const { return m_Form <= ELF_BRANCH_ARM_THUMB_B ? 2 : 4; }
    // Where the scanner found the instruction.
    uint64_t fileOffset() const { return uint64_t(m_OffsetHigh) << 32 | m_OffsetLow; }
    // False, changing nothing, beyond kMaxFileOffset.
    bool setFileOffset(uint64_t offset)
    {
        if (offset > kMaxFileOffset)
            return false;
        m_OffsetLow = uint32_t(offset);
        m_OffsetHigh = uint8_t(offset >> 32);
        return true;
    }

    // Emits the reference to the label of target() into the program: a rel32 for x86, an ARM
    // rel32 over the branch's own bytes of `image` (the image its file offset counts in) for
    // ARM. False when the program refuses it.
    bool emitInstruction(DisassembledProgram* program, const uint8_t* image) const;

private:
    uint32_t m_Rva = 0;
    uint32_t m_RelativeTarget = 0;
    uint32_t m_OffsetLow = 0;
    uint8_t m_OffsetHigh = 0;
    uint8_t m_Form = ELF_BRANCH_X86_REL32;
    uint16_t m_ArmOpcode = 0;
};

static_assert(sizeof(ElfBranch) == 16, "branches are kept by the hundred thousand");

// The branches a scanner found, in one flat array.
class ElfBranchList {
public:
    ElfBranchList() = default;
    ElfBranchList(const ElfBranchList&) = delete;
    ElfBranchList& operator=(const ElfBranchList&) = delete;

    // Appends the branch found at `fileOffset`; false when memory runs out or the offset is
    // beyond ElfBranch::kMaxFileOffset.
    bool add(ElfBranch branch, uint64_t fileOffset)
    {
        return branch.setFileOffset(fileOffset) && m_Branches.push_back(branch);
    }
    // Removes the branch added last, if any.
    void dropLast();
    // Releases the storage.
    void clear() { m_Branches.clear(); }
    size_t size() const { return m_Branches.size(); }
    const ElfBranch& operator[](size_t i) const { return m_Branches[i]; }
    // Removes the branches for which `keep` is false, keeping the order of the rest.
    template <typename Keep> void keepOnly(Keep keep)
    {
        size_t kept = 0;
        for (size_t i = 0; i < m_Branches.size(); ++i) {
            if (keep(m_Branches[i]))
                m_Branches[kept++] = m_Branches[i];
        }
        m_Branches.resize(kept, ElfBranch());
    }
    // Stable sorts by RVA, or by file offset.
    void sortByRva();
    void sortByFileOffset();
    // True when every branch lies after the one before it in the file.
    bool ascendingInFile() const;

private:
    GrowableArray<ElfBranch> m_Branches;
};

} // namespace deltapatch
