// The element part of an executable-aware ensemble patch: per element pair, the old program as
// the applier encodes it, the new program renumbered after the old one, and the new program's
// assembly appended to the ensemble.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/elementpairing.h"
#include "deltapatch/imagealignment.h"
#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// Label counts over all pairs and both tables: how the new labels got their indexes.
struct LabelMatchCounts {
    size_t byReferences = 0;
    size_t byTargets = 0;
    size_t byNeighbours = 0;
    size_t unmatched = 0;
};

class EnsembleElements {
public:
    // Starts the ensemble with a copy of the whole old file. False when memory runs out.
    bool begin(ByteSource oldFile);

    // Adds one pair: both regions must lie inside their files and `alignment` must align the
    // new file with the old one. STATUS_OK, or the status of the step that failed (parse,
    // trim, encode, write, assembly; STATUS_GENERAL_ERROR when renumbering fails). May throw
    // std::bad_alloc.
    PatchStatus add(ByteSource oldFile, ByteSource newFile, const ElementPair& pair,
                    const ImageAlignment& alignment);

    // Serialises the transformed (old) and corrected (new) element sets, emptying them.
    bool serialise(ByteSink* transformed, ByteSink* corrected);

    // The old file followed by the assembled corrected programs.
    const ByteSink& ensemble() const { return m_Ensemble; }
    size_t assembledLength() const { return m_Ensemble.length() - m_OldLength; }
    const LabelMatchCounts& counts() const { return m_Counts; }

private:
    ByteSinkSet m_Transformed;
    ByteSinkSet m_Corrected;
    ByteSink m_Ensemble;
    size_t m_OldLength = 0;
    LabelMatchCounts m_Counts;
};

} // namespace deltapatch
