// Block diffs inside an ensemble body, scanned with a few alignment settings of which the one
// that compresses smallest is kept: no single setting wins on every kind of program.
#pragma once

#include <cstddef>
#include <functional>

#include "deltapatch/blockdiff.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// Bytes a candidate diff (headerless, method 0) would take in the patch.
using DiffCost = std::function<size_t(const ByteSink& candidate)>;

// Appends a headerless method-0 block diff from `old` to `newData` whose inserted stretches
// were realigned (see RealignInsertions). The old data is suffix-sorted once; when `cost` is
// set and the new data is at most `variantLimit` bytes, several scans are tried (fewer above
// 2 MiB) and the cheapest diff is kept, otherwise the default scan is taken. False when an input is 2^31
// bytes or more or memory runs out. May throw std::bad_alloc.
bool GenerateSmallestBlockDiff(ByteSource old, ByteSource newData, ByteSink* out,
                               const DiffCost& cost, size_t variantLimit,
                               const ProgressCallback& progress);

} // namespace deltapatch
