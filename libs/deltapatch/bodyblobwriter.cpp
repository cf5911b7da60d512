// Body blob encoder settings: the longest match length, the slow preset, literal contexts that
// suit difference bytes (mostly zero, little tied to the byte before or the position) and a
// dictionary small enough for the applier to keep.
#include "deltapatch/bodyblobwriter.h"

namespace deltapatch {

Lzma2Tuning BodyLzma2Tuning()
{
    Lzma2Tuning tuning;
    tuning.extreme = true;
    tuning.niceLength = 273; // the most LZMA allows
    tuning.literalContextBits = 1;
    tuning.positionBits = 0;
    // The applier keeps the decoder, and so its dictionary, alive for the whole application.
    // Bodies of 10 to 110 MB came out within a few hundred bytes of each other at 1 to 64 MiB
    // (no long-distance repeats to find), so 4 MiB costs the reader little and the patch nothing.
    tuning.dictionaryLimit = uint32_t(4) << 20;
    return tuning;
}

bool WriteBodyLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink)
{
    return WriteLzma2Blob(data, length, sink, BodyLzma2Tuning());
}

} // namespace deltapatch
