// Body blob encoder settings: the longest match length, the slow preset, and literal contexts
// that suit difference bytes (mostly zero, little tied to the byte before or the position).
#include "deltapatch/bodyblobwriter.h"

#include <lzma.h>

#include <algorithm>

#include "deltapatch/enginelog.h"

namespace deltapatch {
namespace {

constexpr uint32_t kPreset = 9 | LZMA_PRESET_EXTREME;
constexpr uint32_t kNiceLength = 273; // the most LZMA allows
constexpr uint32_t kLiteralContextBits = 1;
constexpr uint32_t kPositionBits = 0;
constexpr uint32_t kMaxDictionaryProperty = 40;
constexpr size_t kEncodeChunk = size_t(1) << 15;

// The preset's dictionary, but no larger than the input needs, rounded up to a size the
// property byte represents exactly (2^n or 3 * 2^(n-1)) since the decoder sizes from it.
uint32_t dictionaryFor(size_t length, uint32_t preset)
{
    const size_t wanted = std::max(std::min(length, size_t(preset)), size_t(LZMA_DICT_SIZE_MIN));
    for (uint32_t property = 0; property < kMaxDictionaryProperty; ++property) {
        const size_t size = size_t(2 | (property & 1)) << (property / 2 + 11);
        if (size >= wanted)
            return uint32_t(size);
    }
    return preset;
}

bool encode(lzma_stream* stream, const uint8_t* data, size_t length, ByteSink* sink)
{
    uint8_t chunk[kEncodeChunk];
    stream->next_in = data;
    stream->avail_in = length;
    for (;;) {
        stream->next_out = chunk;
        stream->avail_out = sizeof chunk;
        const lzma_ret ret = lzma_code(stream, LZMA_FINISH);
        if ((ret != LZMA_OK && ret != LZMA_STREAM_END) ||
            !sink->write(chunk, sizeof chunk - stream->avail_out))
            return false;
        if (ret == LZMA_STREAM_END)
            return true;
    }
}

} // namespace

bool WriteBodyLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink)
{
    lzma_options_lzma options;
    if (length > UINT32_MAX || lzma_lzma_preset(&options, kPreset)) {
        logError("Error LZMA2 body settings");
        return false;
    }
    options.dict_size = dictionaryFor(length, options.dict_size);
    options.nice_len = kNiceLength;
    options.lc = kLiteralContextBits;
    options.lp = 0;
    options.pb = kPositionBits;
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t property = 0;
    if (lzma_properties_encode(&filters[0], &property) != LZMA_OK || !sink->write(&property, 1) ||
        !sink->writeVarint32(uint32_t(length)))
        return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    const lzma_ret started = lzma_raw_encoder(&stream, filters);
    const bool ok = started == LZMA_OK && encode(&stream, data, length, sink);
    lzma_end(&stream);
    if (!ok)
        logError("Error LZMA2 body encoding");
    return ok;
}

} // namespace deltapatch
