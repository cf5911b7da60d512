// Body blob encoder settings: the longest match length, the slow preset, and literal contexts
// that suit difference bytes (mostly zero, little tied to the byte before or the position).
#include "deltapatch/bodyblobwriter.h"

#include "deltapatch/lzma2blob.h"

namespace deltapatch {

bool WriteBodyLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink)
{
    Lzma2Tuning tuning;
    tuning.extreme = true;
    tuning.niceLength = 273; // the most LZMA allows
    tuning.literalContextBits = 1;
    tuning.positionBits = 0;
    return WriteLzma2Blob(data, length, sink, tuning);
}

} // namespace deltapatch
