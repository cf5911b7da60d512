// One suffix sort, several scans: the alignment switch threshold decides how a moved table or
// function splits into copies, and which split compresses best depends on the data.
#include "deltapatch/blockdiffvariants.h"

#include <iterator>
#include <memory>
#include <new>

#include "deltapatch/blockdiff_generate.h"
#include "deltapatch/blockdiffscanner.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/extrarealignment.h"
#include "deltapatch/sais.h"
#include "deltapatch/suffixindex.h"

namespace deltapatch {
namespace {

// Switch thresholds tried, the plain diff's first. On rebuilt programs of every kind and on
// distribution libraries each was the smallest on some element or final diff, by up to 17%.
// Diffs above 2 MiB try fewer: each try costs a scan and a compression of the diff.
constexpr int64_t kSmallDiffVariants[] = {BlockDiffScanner::kDefaultBeatBy, 24, 3, 12};
constexpr int64_t kLargeDiffVariants[] = {BlockDiffScanner::kDefaultBeatBy, 4};
constexpr size_t kLargeDiff = size_t(2) << 20;

// Scans once with `beatBy` into the pieces the control triples describe.
bool scanVariant(const SuffixIndex& index, ByteSource old, ByteSource newData, int64_t beatBy,
                 const ProgressCallback& progress, std::vector<DiffPiece>* pieces)
{
    BlockDiffScanner scanner(old.current(), int32_t(old.remaining()), newData.current(),
                             int32_t(newData.remaining()), beatBy);
    return scanner.run(index, progress) &&
           PiecesFromControl(scanner.control().asSource(), int64_t(old.remaining()),
                             int64_t(newData.remaining()), pieces);
}

// Progress of variant `at` of `count`, each an equal share of the scale.
ProgressCallback variantProgress(const ProgressCallback& progress, size_t at, size_t count)
{
    if (!progress)
        return nullptr;
    return [progress, at, count](uint64_t done, uint64_t total) {
        progress(at * total + done, count * total);
    };
}

} // namespace

bool GenerateSmallestBlockDiff(ByteSource old, ByteSource newData, ByteSink* out,
                               const DiffCost& cost, size_t variantLimit,
                               const ProgressCallback& progress)
{
    const size_t oldLength = old.remaining();
    if (!BlockDiffInputsFit(oldLength, newData.remaining()))
        return false;
    std::unique_ptr<int32_t[]> sa(new (std::nothrow) int32_t[oldLength == 0 ? 1 : oldLength]);
    SuffixIndex index;
    if (!sa || !BuildSuffixArray(old.current(), int32_t(oldLength), sa.get()) ||
        !index.init(old.current(), int32_t(oldLength), sa.get())) {
        logError("unable to allocate memory for the block diff");
        return false;
    }
    const bool small = newData.remaining() <= kLargeDiff;
    const int64_t* variants = small ? kSmallDiffVariants : kLargeDiffVariants;
    size_t count = small ? std::size(kSmallDiffVariants) : std::size(kLargeDiffVariants);
    if (!cost || newData.remaining() > variantLimit)
        count = 1;
    ByteSink best;
    size_t bestCost = 0;
    for (size_t i = 0; i < count; ++i) {
        std::vector<DiffPiece> pieces;
        if (!scanVariant(index, old, newData, variants[i], variantProgress(progress, i, count),
                         &pieces))
            return false;
        // One copy (an element diff of an unchanged program, a final diff that takes the
        // whole re-assembled image) has nothing another scan could split better.
        if (i == 0 && pieces.size() <= 1)
            count = 1;
        if (count == 1) {
            // The suffix array is the largest structure; it goes before the diff is written.
            index = SuffixIndex();
            sa.reset();
            return WritePiecesAsBlockDiff(RealignInsertions(pieces, old, newData), old, newData,
                                          out);
        }
        ByteSink candidate;
        if (!WritePiecesAsBlockDiff(RealignInsertions(pieces, old, newData), old, newData,
                                    &candidate))
            return false;
        const size_t candidateCost = cost(candidate);
        if (i == 0 || candidateCost < bestCost) {
            best = std::move(candidate);
            bestCost = candidateCost;
        }
    }
    return out->append(&best);
}

} // namespace deltapatch
