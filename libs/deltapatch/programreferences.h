// Where a disassembled program refers to its labels: the image offset of every rel32 and abs32
// reference, the labels by index, and the image ranges whose RVAs the program's origins fix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "deltapatch/disassembledprogram.h"

namespace deltapatch {

enum LabelTableId : size_t { REL32_TABLE = 0, ABS32_TABLE = 1, LABEL_TABLE_COUNT = 2 };

struct LabelReference {
    uint64_t offset; // of the reference's first byte in the image
    uint32_t index;  // the label's index in the program
};

struct IndexedLabel {
    uint32_t rva;
    uint32_t index;
};

class ProgramReferences {
public:
    // Walks the program's instructions. `imageLength` is the length of the image the program
    // was disassembled from: a relocation table that the program only marks takes the bytes the
    // instructions leave uncovered. May throw std::bad_alloc.
    void collect(const DisassembledProgram& program, uint64_t imageLength);

    // References of one table in image order.
    const std::vector<LabelReference>& references(LabelTableId table) const
    {
        return m_References[table];
    }
    // Labels of one table (every label a table holds or a reference names), ascending by RVA.
    const std::vector<IndexedLabel>& labels(LabelTableId table) const { return m_Labels[table]; }
    // One more than the highest label index of the table (0 without labels).
    uint32_t indexSpace(LabelTableId table) const { return m_IndexSpace[table]; }

    // The label index referenced at exactly `offset`, or -1.
    int64_t indexReferencedAt(LabelTableId table, uint64_t offset) const;
    // The index of the label at exactly `rva`, or -1.
    int64_t indexAtRva(LabelTableId table, uint32_t rva) const;

    // Image offset of an RVA, or RVA of an image offset, through the stretches that follow each
    // origin; -1 outside them.
    int64_t offsetOfRva(uint32_t rva) const;
    int64_t rvaOfOffset(uint64_t offset) const;

private:
    struct Placed {
        uint64_t offset;
        uint32_t rva;
        uint64_t length;
    };
    void addLabel(LabelTableId table, const AddressLabel& label);
    void collectReferencedLabels(const DisassembledProgram& program);
    void finishLabels(LabelTableId table);
    void closeStretch(uint64_t offset);

    std::vector<LabelReference> m_References[LABEL_TABLE_COUNT];
    std::vector<IndexedLabel> m_Labels[LABEL_TABLE_COUNT];
    uint32_t m_IndexSpace[LABEL_TABLE_COUNT] = {0, 0};
    std::vector<Placed> m_ByOffset;
    std::vector<Placed> m_ByRva;
};

} // namespace deltapatch
