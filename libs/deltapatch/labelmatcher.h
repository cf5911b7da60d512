// Gives the labels of a new program the indexes of the old program's labels that stand for the
// same code or data, so that the two encoded programs differ only where the code changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "deltapatch/imagealignment.h"
#include "deltapatch/programreferences.h"

namespace deltapatch {

// Final index of each new label, by the label's index in the new program.
struct LabelIndexMap {
    static constexpr uint32_t kUnmapped = 0xFFFFFFFFu;

    std::vector<uint32_t> finalIndex; // kUnmapped where the new program has no label
    uint32_t indexSpace = 0;          // one more than the highest final index
    // How many labels each step matched, and how many got an index of their own.
    size_t byReferences = 0;
    size_t byTargets = 0;
    size_t byNeighbours = 0;
    size_t unmatched = 0;
};

// One old element and one new element of the same kind, with their references collected, and
// the alignment of the whole new file to the whole old file.
struct MatchInput {
    const ProgramReferences* oldProgram;
    uint64_t oldOffset; // the element's place in the old file
    uint64_t oldLength;
    const ProgramReferences* newProgram;
    uint64_t newOffset;
    const ImageAlignment* alignment;
};

// Matches the labels of one table. Matched new labels take their old label's index; the others
// take free old indexes between their neighbours' or fresh ones after the old index space. May
// throw std::bad_alloc.
LabelIndexMap MatchLabels(const MatchInput& input, LabelTableId table);

} // namespace deltapatch
