// One block diff scan kept after it ran: its copy stretches tell the ensemble generator which
// old bytes each new byte came from, and the same scan writes the headerless patch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "deltapatch/blockdiff.h"
#include "deltapatch/blockdiffscanner.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class ScannedBlockDiff {
public:
    // Suffix-sorts `old` and scans `newData` against it, switching alignments as the scanner's
    // `beatBy` says. Both inputs must outlive this object. False when an input is 2^31 bytes or
    // more (logged) or memory runs out.
    bool scan(ByteSource old, ByteSource newData, const ProgressCallback& progress,
              int64_t beatBy = BlockDiffScanner::kDefaultBeatBy);

    // Appends the headerless method-0 patch of the scan (method byte, new size, section
    // lengths, control, diff and extra bytes). Only after a successful scan.
    bool appendPatch(ByteSink* out) const;

    // The control triples (copy, extra, seek) as signed varint32s; empty before a scan.
    const ByteSink& control() const;

private:
    std::unique_ptr<BlockDiffScanner> m_Scanner;
    size_t m_NewLength = 0;
};

} // namespace deltapatch
