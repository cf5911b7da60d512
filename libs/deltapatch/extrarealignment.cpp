// Realignment of inserted stretches along the alignments of neighbouring copies.
#include "deltapatch/extrarealignment.h"

#include <algorithm>

#include "deltapatch/blockdiff.h"

namespace deltapatch {
namespace {

constexpr int64_t kMinRun = 16;        // shorter insertions are left alone
constexpr int64_t kMinScore = 12;      // matches minus mismatches a new copy must reach
constexpr size_t kNeighbours = 4;      // copies on each side whose alignment is tried
constexpr size_t kMaxSplitsPerRun = 256;
// Byte comparisons allowed per inserted byte, so that a large insertion that splits into many
// small copies cannot take quadratic time.
constexpr int64_t kComparisonsPerByte = 64;

struct Best {
    int64_t score = 0;
    int64_t start = 0;
    int64_t end = 0;
    int64_t delta = 0;
};

class Realigner {
public:
    Realigner(ByteSource old, ByteSource newData)
        : m_Old(old.current()), m_OldLength(int64_t(old.remaining())), m_New(newData.current())
    {
    }

    void run(const std::vector<DiffPiece>& pieces, std::vector<DiffPiece>* out)
    {
        for (size_t i = 0; i < pieces.size(); ++i) {
            const DiffPiece& piece = pieces[i];
            if (piece.oldStart != DiffPiece::kInserted || piece.length < kMinRun) {
                push(piece, out);
                continue;
            }
            m_Deltas = neighbourDeltas(pieces, i);
            m_Splits = 0;
            m_Budget = kComparisonsPerByte * piece.length;
            refine(piece.newStart, piece.newStart + piece.length, out);
        }
    }

private:
    static std::vector<int64_t> neighbourDeltas(const std::vector<DiffPiece>& pieces, size_t at)
    {
        std::vector<int64_t> deltas;
        size_t found = 0;
        for (size_t i = at; i-- > 0 && found < kNeighbours;) {
            if (pieces[i].oldStart != DiffPiece::kInserted) {
                deltas.push_back(pieces[i].oldStart - pieces[i].newStart);
                ++found;
            }
        }
        found = 0;
        for (size_t i = at + 1; i < pieces.size() && found < kNeighbours; ++i) {
            if (pieces[i].oldStart != DiffPiece::kInserted) {
                deltas.push_back(pieces[i].oldStart - pieces[i].newStart);
                ++found;
            }
        }
        std::sort(deltas.begin(), deltas.end());
        deltas.erase(std::unique(deltas.begin(), deltas.end()), deltas.end());
        return deltas;
    }

    // The stretch of [start, end) with the highest matches-minus-mismatches under one delta.
    Best bestStretch(int64_t start, int64_t end, int64_t delta) const
    {
        Best best;
        best.delta = delta;
        const int64_t from = std::max(start, -delta);
        const int64_t to = std::min(end, m_OldLength - delta);
        int64_t score = 0;
        int64_t runStart = from;
        for (int64_t i = from; i < to; ++i) {
            score += m_New[i] == m_Old[i + delta] ? 1 : -1;
            if (score <= 0) {
                score = 0;
                runStart = i + 1;
            } else if (score > best.score) {
                best.score = score;
                best.start = runStart;
                best.end = i + 1;
            }
        }
        return best;
    }

    void refine(int64_t start, int64_t end, std::vector<DiffPiece>* out)
    {
        Best best;
        const int64_t cost = (end - start) * int64_t(m_Deltas.size());
        if (end - start >= kMinRun && m_Splits < kMaxSplitsPerRun && cost <= m_Budget) {
            m_Budget -= cost;
            for (int64_t delta : m_Deltas) {
                const Best candidate = bestStretch(start, end, delta);
                if (candidate.score > best.score)
                    best = candidate;
            }
        }
        if (best.score < kMinScore) {
            push({start, end - start, DiffPiece::kInserted}, out);
            return;
        }
        ++m_Splits;
        refine(start, best.start, out);
        push({best.start, best.end - best.start, best.start + best.delta}, out);
        refine(best.end, end, out);
    }

    // Appends a piece, merging it with the last one where both insert or both continue one
    // alignment.
    static void push(const DiffPiece& piece, std::vector<DiffPiece>* out)
    {
        if (piece.length <= 0)
            return;
        if (!out->empty()) {
            DiffPiece& last = out->back();
            const bool inserted = last.oldStart == DiffPiece::kInserted &&
                                  piece.oldStart == DiffPiece::kInserted;
            const bool continued = last.oldStart != DiffPiece::kInserted &&
                                   piece.oldStart == last.oldStart + last.length;
            if (inserted || continued) {
                last.length += piece.length;
                return;
            }
        }
        out->push_back(piece);
    }

    const uint8_t* m_Old;
    int64_t m_OldLength;
    const uint8_t* m_New;
    std::vector<int64_t> m_Deltas;
    size_t m_Splits = 0;
    int64_t m_Budget = 0;
};

bool writeTriple(int64_t copy, int64_t extra, int64_t seek, ByteSink* control)
{
    return control->writeVarint32Signed(int32_t(copy)) &&
           control->writeVarint32Signed(int32_t(extra)) &&
           control->writeVarint32Signed(int32_t(seek));
}

// Writes triples whose seek is only known once the next copy's old start is.
class TripleWriter {
public:
    TripleWriter(const uint8_t* old, const uint8_t* newData) : m_Old(old), m_New(newData) {}

    bool add(const DiffPiece* copy, const DiffPiece* inserted)
    {
        const int64_t oldStart = copy != nullptr ? copy->oldStart : m_PendingEnd;
        if (!m_HasPending && oldStart != 0 && !writeTriple(0, 0, oldStart, &m_Control))
            return false;
        if (m_HasPending && !flush(oldStart - m_PendingEnd))
            return false;
        m_PendingCopy = copy != nullptr ? copy->length : 0;
        m_PendingExtra = inserted != nullptr ? inserted->length : 0;
        m_PendingEnd = oldStart + m_PendingCopy;
        m_HasPending = true;
        if (copy != nullptr) {
            if (!m_Diff.reserve(m_Diff.length() + size_t(copy->length)))
                return false;
            uint8_t* to = m_Diff.tail();
            for (int64_t k = 0; k < copy->length; ++k)
                to[k] = uint8_t(m_New[copy->newStart + k] - m_Old[copy->oldStart + k]);
            m_Diff.commit(size_t(copy->length));
        }
        return inserted == nullptr ||
               m_Extra.write(m_New + inserted->newStart, size_t(inserted->length));
    }

    bool finish(size_t newLength, ByteSink* out)
    {
        const uint8_t method = METHOD_NONE;
        return (!m_HasPending || flush(0)) && out->write(&method, 1) &&
               out->writeSizeVarint32(newLength) && out->writeSizeVarint32(m_Control.length()) &&
               out->writeSizeVarint32(m_Diff.length()) &&
               out->writeSizeVarint32(m_Extra.length()) && out->append(&m_Control) &&
               out->append(&m_Diff) && out->append(&m_Extra);
    }

private:
    bool flush(int64_t seek)
    {
        m_HasPending = false;
        return writeTriple(m_PendingCopy, m_PendingExtra, seek, &m_Control);
    }

    const uint8_t* m_Old;
    const uint8_t* m_New;
    ByteSink m_Control;
    ByteSink m_Diff;
    ByteSink m_Extra;
    bool m_HasPending = false;
    int64_t m_PendingCopy = 0;
    int64_t m_PendingExtra = 0;
    int64_t m_PendingEnd = 0;
};

} // namespace

bool PiecesFromControl(ByteSource control, int64_t oldLength, int64_t newLength,
                       std::vector<DiffPiece>* pieces)
{
    pieces->clear();
    int64_t newAt = 0;
    int64_t oldAt = 0;
    int32_t copy = 0;
    int32_t extra = 0;
    int32_t seek = 0;
    while (newAt < newLength && control.readVarint32Signed(&copy) &&
           control.readVarint32Signed(&extra) && control.readVarint32Signed(&seek)) {
        if (copy < 0 || extra < 0 || oldAt < 0 || oldAt + copy > oldLength ||
            newAt + copy + extra > newLength)
            return false;
        if (copy > 0)
            pieces->push_back({newAt, copy, oldAt});
        if (extra > 0)
            pieces->push_back({newAt + copy, extra, DiffPiece::kInserted});
        newAt += int64_t(copy) + extra;
        oldAt += int64_t(copy) + seek;
    }
    return newAt == newLength;
}

std::vector<DiffPiece> RealignInsertions(const std::vector<DiffPiece>& pieces, ByteSource old,
                                         ByteSource newData)
{
    std::vector<DiffPiece> out;
    out.reserve(pieces.size());
    Realigner(old, newData).run(pieces, &out);
    return out;
}

bool WritePiecesAsBlockDiff(const std::vector<DiffPiece>& pieces, ByteSource old,
                            ByteSource newData, ByteSink* out)
{
    TripleWriter writer(old.current(), newData.current());
    for (size_t i = 0; i < pieces.size();) {
        const DiffPiece* copy = nullptr;
        const DiffPiece* inserted = nullptr;
        if (pieces[i].oldStart != DiffPiece::kInserted)
            copy = &pieces[i++];
        if (i < pieces.size() && pieces[i].oldStart == DiffPiece::kInserted)
            inserted = &pieces[i++];
        if (!writer.add(copy, inserted))
            return false;
    }
    return writer.finish(newData.remaining(), out);
}

bool GenerateRealignedBlockDiff(ByteSource old, ByteSource newData, ByteSink* out,
                                const ProgressCallback& progress)
{
    ByteSink scanned;
    if (!GenerateBlockDiff(old, newData, &scanned, false, METHOD_NONE, progress))
        return false;
    ByteSource patch = scanned.asSource();
    uint8_t method = 0;
    uint32_t newSize = 0;
    uint32_t controlLength = 0;
    uint32_t diffLength = 0;
    uint32_t extraLength = 0;
    std::vector<DiffPiece> pieces;
    const bool parsed = patch.read(&method, 1) && patch.readVarint32(&newSize) &&
                        patch.readVarint32(&controlLength) && patch.readVarint32(&diffLength) &&
                        patch.readVarint32(&extraLength) && controlLength <= patch.remaining() &&
                        PiecesFromControl(ByteSource(patch.current(), controlLength),
                                          int64_t(old.remaining()), int64_t(newSize), &pieces) &&
                        newSize == newData.remaining();
    if (!parsed) // not expected; the scan's own patch is still correct
        return out->append(&scanned);
    scanned.clear(); // its control is read; the rewrite holds the same bytes again
    return WritePiecesAsBlockDiff(RealignInsertions(pieces, old, newData), old, newData, out);
}

} // namespace deltapatch
