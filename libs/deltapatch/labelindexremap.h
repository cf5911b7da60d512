// Renumbers the labels of an encoded program by a label index map.
#pragma once

#include <vector>

#include "deltapatch/encodedprogram.h"
#include "deltapatch/labelmatcher.h"
#include "deltapatch/programreferences.h"

namespace deltapatch {

// Rewrites one table of `program` (encoded with the indexes `labels` carry): every index of
// that table's reference stream becomes map.finalIndex of it, and the index-to-RVA vector is
// rebuilt with map.indexSpace entries. Indexes no new label takes are filled so that the
// vector's deltas equal `oldRvas`' deltas there, which keeps the serialised vector close to the
// old program's. False when a reference has no final index or memory runs out.
bool RemapLabelIndexes(EncodedProgram* program, LabelTableId table, const LabelIndexMap& map,
                       const std::vector<IndexedLabel>& labels,
                       const GrowableArray<uint32_t>& oldRvas);

} // namespace deltapatch
