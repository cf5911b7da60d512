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

// How the body is compressed: as the container compresses, or with the slower settings of
// WriteBodyLzma2Blob that suit the long zero runs of an executable-aware body.
enum class BodyCompression { Standard, Strong };

// Appends the header and the LZMA2-compressed body.
bool WriteEnsemblePatch(const EnsemblePatchHeader& header, EnsembleBody* body, ByteSink* out,
                        BodyCompression compression = BodyCompression::Standard);

} // namespace deltapatch
