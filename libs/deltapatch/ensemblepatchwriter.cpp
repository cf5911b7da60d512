// Ensemble patch layout: header fields, patcher list, parameter diff and the compressed body.
#include "deltapatch/ensemblepatchwriter.h"

#include <cstdint>

#include "deltapatch/blockdiff.h"
#include "deltapatch/bodyblobwriter.h"
#include "deltapatch/lzma2blob.h"

namespace deltapatch {

bool WritePatcherList(const ElementPairs& pairs, ByteSink* out)
{
    bool ok = out->writeSizeVarint32(pairs.count);
    for (size_t i = 0; ok && i < pairs.count; ++i)
        ok = out->writeVarint32(uint32_t(pairs.items[i].oldElement.kind));
    for (size_t i = 0; ok && i < pairs.count; ++i) {
        const ProgramElement& region = pairs.items[i].oldElement;
        ok = region.offset <= UINT32_MAX && region.length <= UINT32_MAX &&
             out->writeVarint32(uint32_t(region.offset)) &&
             out->writeVarint32(uint32_t(region.length));
    }
    return ok;
}

bool WriteParameterDiff(size_t patchers, ByteSink* out)
{
    // Each patcher's parameter set is empty: its nested header is a zero stream count.
    ByteSinkSet parameters;
    for (size_t i = 0; i < patchers; ++i) {
        ByteSinkSet none;
        if (!parameters.writeSet(&none))
            return false;
    }
    ByteSink serialised;
    if (!parameters.copyToOneStream(&serialised))
        return false;
    return GenerateBlockDiff(serialised.asSource(), serialised.asSource(), out, false,
                             METHOD_NONE);
}

bool WriteEmptySetDiff(ByteSink* out)
{
    ByteSinkSet predicted;
    ByteSink from;
    ByteSink to;
    return predicted.copyToOneStream(&from) && to.writeVarint32(kStreamSetMagic) &&
           to.writeVarint32(0) &&
           GenerateBlockDiff(from.asSource(), to.asSource(), out, false, METHOD_NONE);
}

namespace {

// Bodies up to this length get their literal context bits chosen.
constexpr size_t kSearchLimit = size_t(64) << 20;
constexpr size_t kEstimatedZeroRun = 64;
constexpr size_t kQuickEstimateAbove = size_t(1) << 20;
constexpr uint32_t kQuickEstimateNiceLength = 32;

// WriteBodyLzma2Blob's settings with other literal context bits: a final diff that inserts much
// text (symbol names) gains from more context, sparse differences from none.
Lzma2Tuning bodyTuning(uint32_t literalContextBits)
{
    Lzma2Tuning tuning = BodyLzma2Tuning();
    tuning.literalContextBits = literalContextBits;
    return tuning;
}

bool writeSearchedBody(const ByteSink& serialised, ByteSink* out)
{
    uint32_t bestBits = kBodyLiteralContextBits;
    if (serialised.length() <= kSearchLimit) {
        size_t best = EstimateBodyBlobSize(serialised, bestBits);
        for (uint32_t bits : {0u, 3u}) {
            const size_t estimate = EstimateBodyBlobSize(serialised, bits);
            if (estimate < best) {
                best = estimate;
                bestBits = bits;
            }
        }
    }
    if (bestBits == kBodyLiteralContextBits)
        return WriteBodyLzma2Blob(serialised.data(), serialised.length(), out);
    return WriteLzma2Blob(serialised.data(), serialised.length(), out, bodyTuning(bestBits));
}

bool writeBody(const ByteSink& serialised, BodyCompression compression, ByteSink* out)
{
    switch (compression) {
    case BodyCompression::Standard:
        return WriteLzma2Blob(serialised.data(), serialised.length(), out);
    case BodyCompression::Strong:
        return WriteBodyLzma2Blob(serialised.data(), serialised.length(), out);
    default:
        return writeSearchedBody(serialised, out);
    }
}

} // namespace

size_t EstimateBodyBlobSize(const ByteSink& data, uint32_t literalContextBits)
{
    ByteSink condensed;
    if (!condensed.reserve(data.length()))
        return SIZE_MAX;
    const uint8_t* bytes = data.data();
    uint8_t* to = condensed.tail();
    size_t kept = 0;
    size_t zeros = 0;
    for (size_t i = 0; i < data.length(); ++i) {
        zeros = bytes[i] == 0 ? zeros + 1 : 0;
        if (zeros <= kEstimatedZeroRun)
            to[kept++] = bytes[i];
    }
    condensed.commit(kept);
    // Large diffs differ by more between candidates, and the quick settings still rank them.
    Lzma2Tuning tuning = bodyTuning(literalContextBits);
    if (kept > kQuickEstimateAbove) {
        tuning.extreme = false;
        tuning.niceLength = kQuickEstimateNiceLength;
    }
    ByteSink compressed;
    return WriteLzma2Blob(condensed.data(), condensed.length(), &compressed, tuning)
               ? compressed.length()
               : SIZE_MAX;
}

bool WriteEnsemblePatch(const EnsemblePatchHeader& header, EnsembleBody* body, ByteSink* out,
                        BodyCompression compression)
{
    ByteSinkSet streams;
    ByteSink serialised;
    const bool bodyOk = streams.stream(0)->append(&body->patchers) &&
                        streams.stream(1)->append(&body->parameterDiff) &&
                        streams.stream(2)->append(&body->elementDiff) &&
                        streams.stream(3)->append(&body->finalDiff) &&
                        streams.copyToOneStream(&serialised);
    return bodyOk && out->writeVarint32(kEnsembleMagic) && out->writeVarint32(kEnsembleVersion) &&
           out->writeVarint32(header.sourceChecksum) &&
           out->writeVarint32(header.targetChecksum) &&
           out->writeVarint32(header.sizePrediction) && writeBody(serialised, compression, out);
}

} // namespace deltapatch
