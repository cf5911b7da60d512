// The block diff generator's scan: matches the new data against the suffix-sorted old data and
// records the control triples; the diff and extra bytes follow from them and the inputs.
#pragma once

#include <cstdint>

#include "deltapatch/blockdiff.h"
#include "deltapatch/streams.h"
#include "deltapatch/suffixindex.h"

namespace deltapatch {

class BlockDiffScanner {
public:
    // How many more bytes a new alignment must match than the current one over the same new
    // bytes before the scan switches to it. The plain block diff always uses the default.
    static constexpr int64_t kDefaultBeatBy = 8;

    // Both inputs must stay valid while the scanner is used; lengths are below 2^31.
    BlockDiffScanner(const uint8_t* old, int32_t oldLength, const uint8_t* newData,
                     int32_t newLength, int64_t beatBy = kDefaultBeatBy);

    // Scans the whole new data. Returns false only when memory runs out. The progress callback,
    // if any, is called about a hundred times with the new bytes scanned so far.
    bool run(const SuffixIndex& index, const ProgressCallback& progress);

    // The control section: (copy, extra, seek) triples as signed varint32s.
    const ByteSink& control() const { return m_Control; }
    // Section lengths; together they cover the new data exactly.
    size_t diffLength() const { return m_DiffLength; }
    size_t extraLength() const { return m_ExtraLength; }

    // Append the diff section (new minus old under each copy) or the extra section (the new
    // bytes between copies) as the control triples describe them.
    bool appendDiff(ByteSink* out) const;
    bool appendExtra(ByteSink* out) const;

private:
    bool takesMatch(int64_t length, int64_t alignedMatches) const;
    bool matchesAtOffset(int64_t scan, int64_t offset) const;
    int64_t forwardExtension(int64_t scan) const;
    int64_t backwardExtension(int64_t scan, int64_t position) const;
    int64_t overlapShift(int64_t forward, int64_t backward, int64_t scan, int64_t position) const;
    bool emit(int64_t scan, int64_t position);
    void report(int64_t scan, const ProgressCallback& progress);

    const uint8_t* m_Old;
    int64_t m_OldLength;
    const uint8_t* m_New;
    int64_t m_NewLength;
    int64_t m_BeatBy;

    int64_t m_LastScan = 0;
    int64_t m_LastPosition = 0;
    int64_t m_LastOffset = 0;
    int64_t m_NextReport = 0;

    ByteSink m_Control;
    size_t m_DiffLength = 0;
    size_t m_ExtraLength = 0;
};

} // namespace deltapatch
