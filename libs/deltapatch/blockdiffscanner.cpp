// Block diff scan: longest matches from the suffix array, alignments extended forward and
// backward, one control triple per alignment change.
#include "deltapatch/blockdiffscanner.h"

#include <algorithm>

namespace deltapatch {
namespace {

constexpr int64_t kLongMatch = 10240; // a new alignment this long only needs to be better at all
constexpr int64_t kProgressSteps = 100;

// Calls visit(new position, old position, copy, extra) for each recorded triple in order.
template <typename Visit> void walkTriples(const ByteSink& control, Visit visit)
{
    ByteSource source = control.asSource();
    int64_t newAt = 0;
    int64_t oldAt = 0;
    int32_t copy = 0;
    int32_t extra = 0;
    int32_t seek = 0;
    while (source.readVarint32Signed(&copy) && source.readVarint32Signed(&extra) &&
           source.readVarint32Signed(&seek)) {
        visit(newAt, oldAt, copy, extra);
        newAt += int64_t(copy) + extra;
        oldAt += int64_t(copy) + seek;
    }
}

} // namespace

BlockDiffScanner::BlockDiffScanner(const uint8_t* old, int32_t oldLength, const uint8_t* newData,
                                   int32_t newLength, int64_t beatBy)
    : m_Old(old), m_OldLength(oldLength), m_New(newData), m_NewLength(newLength), m_BeatBy(beatBy)
{
}

bool BlockDiffScanner::takesMatch(int64_t length, int64_t alignedMatches) const
{
    return (length == alignedMatches && length != 0) || length > alignedMatches + m_BeatBy ||
           (length > kLongMatch && length > alignedMatches);
}

bool BlockDiffScanner::matchesAtOffset(int64_t scan, int64_t offset) const
{
    const int64_t at = scan + offset;
    return at >= 0 && at < m_OldLength && m_Old[at] == m_New[scan];
}

bool BlockDiffScanner::run(const SuffixIndex& index, const ProgressCallback& progress)
{
    int64_t scan = 0;
    int64_t length = 0;
    int64_t position = 0;
    while (scan < m_NewLength) {
        int64_t alignedMatches = 0;
        scan += length;
        // Look for a match that beats the current alignment over the same new bytes.
        for (int64_t counted = scan; scan < m_NewLength; ++scan) {
            report(scan, progress);
            const SuffixMatch match =
                index.longestMatch(m_New + scan, static_cast<int32_t>(m_NewLength - scan));
            length = match.length;
            position = match.position;
            for (; counted < scan + length; ++counted)
                alignedMatches += matchesAtOffset(counted, m_LastOffset);
            if (takesMatch(length, alignedMatches))
                break;
            alignedMatches -= matchesAtOffset(scan, m_LastOffset);
        }
        if ((length != alignedMatches || scan == m_NewLength) && !emit(scan, position))
            return false;
    }
    report(m_NewLength, progress);
    return true;
}

// Length of the stretch after the last alignment that is worth copying with differences: the
// point where twice the matching bytes minus the length is largest.
int64_t BlockDiffScanner::forwardExtension(int64_t scan) const
{
    int64_t matches = 0;
    int64_t bestScore = 0;
    int64_t best = 0;
    for (int64_t i = 0; m_LastScan + i < scan && m_LastPosition + i < m_OldLength;) {
        matches += m_Old[m_LastPosition + i] == m_New[m_LastScan + i];
        ++i;
        if (matches * 2 - i > bestScore) {
            bestScore = matches * 2 - i;
            best = i;
        }
    }
    return best;
}

// The same, backward from the new match at `scan`, aligned with old `position`.
int64_t BlockDiffScanner::backwardExtension(int64_t scan, int64_t position) const
{
    int64_t matches = 0;
    int64_t bestScore = 0;
    int64_t best = 0;
    for (int64_t i = 1; scan >= m_LastScan + i && position >= i; ++i) {
        matches += m_Old[position - i] == m_New[scan - i];
        if (matches * 2 - i > bestScore) {
            bestScore = matches * 2 - i;
            best = i;
        }
    }
    return best;
}

// When both extensions claim the same new bytes, the split goes where the forward alignment's
// lead over the backward one is greatest. Returns how many overlapping bytes go forward.
int64_t BlockDiffScanner::overlapShift(int64_t forward, int64_t backward, int64_t scan,
                                       int64_t position) const
{
    const int64_t overlap = (m_LastScan + forward) - (scan - backward);
    int64_t lead = 0;
    int64_t bestLead = 0;
    int64_t shift = 0;
    for (int64_t i = 0; i < overlap; ++i) {
        lead += m_New[m_LastScan + forward - overlap + i] ==
                m_Old[m_LastPosition + forward - overlap + i];
        lead -= m_New[scan - backward + i] == m_Old[position - backward + i];
        if (lead > bestLead) {
            bestLead = lead;
            shift = i + 1;
        }
    }
    return shift;
}

bool BlockDiffScanner::emit(int64_t scan, int64_t position)
{
    int64_t forward = forwardExtension(scan);
    int64_t backward = scan < m_NewLength ? backwardExtension(scan, position) : 0;
    if (m_LastScan + forward > scan - backward) {
        const int64_t overlap = (m_LastScan + forward) - (scan - backward);
        const int64_t shift = overlapShift(forward, backward, scan, position);
        forward += shift - overlap;
        backward -= shift;
    }
    const int64_t gap = (scan - backward) - (m_LastScan + forward);
    const int64_t seek = (position - backward) - (m_LastPosition + forward);
    m_DiffLength += static_cast<size_t>(forward);
    m_ExtraLength += static_cast<size_t>(gap);
    if (!m_Control.writeVarint32Signed(static_cast<int32_t>(forward)) ||
        !m_Control.writeVarint32Signed(static_cast<int32_t>(gap)) ||
        !m_Control.writeVarint32Signed(static_cast<int32_t>(seek)))
        return false;
    m_LastScan = scan - backward;
    m_LastPosition = position - backward;
    m_LastOffset = position - scan;
    return true;
}

bool BlockDiffScanner::appendDiff(ByteSink* out) const
{
    if (!out->reserve(out->length() + m_DiffLength))
        return false;
    walkTriples(m_Control, [&](int64_t newAt, int64_t oldAt, int32_t copy, int32_t) {
        uint8_t* to = out->tail();
        for (int32_t k = 0; k < copy; ++k)
            to[k] = static_cast<uint8_t>(m_New[newAt + k] - m_Old[oldAt + k]);
        out->commit(static_cast<size_t>(copy));
    });
    return true;
}

bool BlockDiffScanner::appendExtra(ByteSink* out) const
{
    if (!out->reserve(out->length() + m_ExtraLength))
        return false;
    walkTriples(m_Control, [&](int64_t newAt, int64_t, int32_t copy, int32_t extra) {
        out->write(m_New + newAt + copy, static_cast<size_t>(extra));
    });
    return true;
}

void BlockDiffScanner::report(int64_t scan, const ProgressCallback& progress)
{
    if (!progress || scan < m_NextReport)
        return;
    progress(static_cast<uint64_t>(scan), static_cast<uint64_t>(m_NewLength));
    const int64_t step = std::max<int64_t>(m_NewLength / kProgressSteps, 1);
    m_NextReport = (scan / step + 1) * step;
}

} // namespace deltapatch
