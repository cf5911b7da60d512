// Writes the ensemble patch file around its four body streams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/elementpairing.h"
#include "deltapatch/ensemble.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// The body streams; each is emptied when the patch is written.
struct EnsembleBody {
    ByteSink patchers;      // stream 0: count, kinds, regions
    ByteSink parameterDiff; // stream 1
    ByteSink elementDiff;   // stream 2
    ByteSink finalDiff;     // stream 3
};

// Stream 0: one patcher per pair, on the old element's region, of the old element's kind.
bool WritePatcherList(const ElementPairs& pairs, ByteSink* out);

// Stream 1 for `patchers` patchers with empty transformation parameters: the block diff from the
// predicted to the (identical) corrected parameter sets.
bool WriteParameterDiff(size_t patchers, ByteSink* out);

// Stream 1 or 2 of a patch without patchers in its shortest form: the block diff from the
// predicted (empty, ten-stream) set to a set of no streams, which holds nothing either.
bool WriteEmptySetDiff(ByteSink* out);

// How the body is compressed: as the container compresses; with the slower settings of
// WriteBodyLzma2Blob that suit the long zero runs of an executable-aware body; or, for bodies
// up to 64 MiB, with those settings at whichever of literal context bits 1, 0 and 3 the
// estimate above finds smallest.
enum class BodyCompression { Standard, Strong, StrongestOfContexts };

// Literal context bits of WriteBodyLzma2Blob.
constexpr uint32_t kBodyLiteralContextBits = 1;

// About the length of the body blob of `data` at the body settings with the given literal
// context bits: the blob of the data with every zero run cut to 64 bytes. Long zero runs cost
// next to nothing in a blob but most of the encoder's time, so this ranks diffs and settings
// in a fraction of the time. SIZE_MAX when the encoder fails.
size_t EstimateBodyBlobSize(const ByteSink& data, uint32_t literalContextBits);

// Appends the header and the LZMA2-compressed body.
bool WriteEnsemblePatch(const EnsemblePatchHeader& header, EnsembleBody* body, ByteSink* out,
                        BodyCompression compression = BodyCompression::Standard);

} // namespace deltapatch
