// Second look at the inserted stretches of a block diff scan: tables whose every entry moved a
// little (unwind tables, relocations) match nowhere exactly, so the scan inserts them as new
// bytes although copying them from their old place with small differences is far cheaper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "deltapatch/blockdiff.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// One stretch of the new data: copied with differences from `oldStart`, or inserted when
// `oldStart` is kInserted.
struct DiffPiece {
    static constexpr int64_t kInserted = -1;
    int64_t newStart;
    int64_t length;
    int64_t oldStart;
};

// Reads the control triples of a headerless method-0 block diff scan (signed varint32 copy,
// extra, seek) into pieces that cover the new data in order. False when the triples do not
// describe `newLength` bytes inside `oldLength` old bytes. May throw std::bad_alloc.
bool PiecesFromControl(ByteSource control, int64_t oldLength, int64_t newLength,
                       std::vector<DiffPiece>* pieces);

// Replaces parts of inserted pieces by copies from old data that continue the alignment of a
// nearby copy, where the bytes agree clearly more often than not. The result covers the same
// new bytes. May throw std::bad_alloc.
std::vector<DiffPiece> RealignInsertions(const std::vector<DiffPiece>& pieces, ByteSource old,
                                         ByteSource newData);

// Appends the headerless method-0 block diff (method byte, new size, section lengths, control,
// diff and extra bytes) that the pieces describe. False when memory runs out.
bool WritePiecesAsBlockDiff(const std::vector<DiffPiece>& pieces, ByteSource old,
                            ByteSource newData, ByteSink* out);

// GenerateBlockDiff (headerless, method 0) followed by the realignment above.
bool GenerateRealignedBlockDiff(ByteSource old, ByteSource newData, ByteSink* out,
                                const ProgressCallback& progress);

} // namespace deltapatch
