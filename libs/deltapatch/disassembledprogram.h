// An executable image as parsers see it: instructions in image order plus two label tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/addresslabel.h"
#include "deltapatch/instruction.h"
#include "deltapatch/labeltable.h"
#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class DisassembledProgram {
public:
    using LabelTable = deltapatch::LabelTable;
    // ARM branch labels need more references than this to survive trimming.
    static constexpr int32_t kTrimThreshold = 5;

    explicit DisassembledProgram(ExecutableKind kind = UNKNOWN) : m_Kind(kind) {}
    ~DisassembledProgram();
    DisassembledProgram(const DisassembledProgram&) = delete;
    DisassembledProgram& operator=(const DisassembledProgram&) = delete;

    ExecutableKind kind() const { return m_Kind; }
    uint64_t imageBase() const { return m_ImageBase; }
    void setImageBase(uint64_t base) { m_ImageBase = base; }

    // Makes room for this many instructions and labels in all, so that a parser that knows
    // about how much it will emit never has the list copied or a table rehashed while they
    // grow. False when memory runs out; the list or table that could not be reserved then
    // refuses every later emit or label request.
    bool reserve(size_t instructions, size_t rel32Labels, size_t abs32Labels);

    // Each emit appends one instruction and returns false, adding nothing, when memory runs
    // out or a label or byte pointer is missing. Byte pointers must stay valid for the
    // program's lifetime.
    bool emitOrigin(uint32_t rva);
    bool emitByte(uint8_t value);
    bool emitByteRun(const uint8_t* bytes, uint32_t count);
    // Any number of image bytes, as one run or, beyond a run's 32-bit count, several.
    bool emitBytes(const uint8_t* bytes, size_t count);
    bool emitRel32(AddressLabel* label);
    bool emitAbs32(AddressLabel* label);
    bool emitArmRel32(uint16_t opcode, AddressLabel* label, const uint8_t* bytes, uint32_t length);
    bool emitPeRelocationTable();
    bool emitElfRelocationTable();
    bool emitElfArmRelocationTable();

    // The table's label for `rva`, made on first request; every call counts one reference.
    // Null when memory runs out. Labels keep their address for the program's lifetime, also
    // after trimming took them out of their table.
    AddressLabel* findOrMakeRel32Label(uint32_t rva);
    AddressLabel* findOrMakeAbs32Label(uint32_t rva);
    // Hints that findOrMakeRel32Label(rva) follows: a while after the slot hint, shortly
    // after the label hint. They change nothing.
    void prefetchRel32Slot(uint32_t rva) const { m_Rel32Labels.prefetchSlot(rva); }
    void prefetchRel32Label(uint32_t rva) const { m_Rel32Labels.prefetchLabel(rva); }

    // Numbers the labels of each table 0, 1, 2, ... in ascending RVA order.
    void assignDefaultIndexes();

    // ARM programs only: drops rel32 labels with few references and turns the ARM branches
    // that used them back into their raw bytes. STATUS_OK, or STATUS_TRIM_FAILED when a
    // branch has no bytes. Other kinds are left untouched. Runs once: the bytes of the
    // branches that stay are let go.
    PatchStatus trimLabels();

    // Frees the label tables' lookup indexes once no more labels are made; a later lookup
    // builds them again.
    void releaseLabelLookup()
    {
        m_Rel32Labels.releaseIndex();
        m_Abs32Labels.releaseIndex();
    }

    size_t instructionCount() const { return m_InstructionCount; }
    const Instruction& instruction(size_t i) const { return *instructionAt(i); }
    // For an encoder that consumes the program: frees the storage of instructions before `i`
    // as far as it can (whole blocks). Those instructions must not be read again.
    void releaseInstructionsBefore(size_t i);
    const LabelTable& rel32Labels() const { return m_Rel32Labels; }
    const LabelTable& abs32Labels() const { return m_Abs32Labels; }

private:
    bool append(const Instruction& instruction);
    bool emitNew(uint32_t kind, uint32_t value, AddressLabel* label, const uint8_t* bytes,
                 uint16_t armOpcode = 0);

    // Instructions live in blocks that never move: a small first one (below the size the
    // allocator maps), then one huge page each, so that nothing is copied as the list grows and
    // an encoder can free what it has written.
    static constexpr size_t kFirstBlock = 4096;
    static constexpr size_t kBlockShift = 17;
    static constexpr size_t kBlock = size_t(1) << kBlockShift;

    Instruction* instructionAt(size_t i) const
    {
        if (i < kFirstBlock)
            return m_InstructionBlocks[0] + i;
        const size_t rest = i - kFirstBlock;
        return m_InstructionBlocks[1 + (rest >> kBlockShift)] + (rest & (kBlock - 1));
    }
    static size_t blockOf(size_t i)
    {
        return i < kFirstBlock ? 0 : 1 + ((i - kFirstBlock) >> kBlockShift);
    }
    static size_t blockBytes(size_t block)
    {
        return (block == 0 ? kFirstBlock : kBlock) * sizeof(Instruction);
    }
    bool growBlockList(size_t capacity);

    ExecutableKind m_Kind;
    uint64_t m_ImageBase = 0;
    GrowableArray<Instruction*> m_InstructionBlocks;
    size_t m_BlockCapacity = 0;
    size_t m_InstructionCount = 0;
    size_t m_ReleasedBlocks = 0;
    bool m_InstructionsFailed = false;
    // The image bytes of each ARM branch, in program order, until trimming.
    GrowableArray<const uint8_t*> m_ArmBranchBytes;
    LabelTable m_Rel32Labels;
    LabelTable m_Abs32Labels;
};

} // namespace deltapatch
