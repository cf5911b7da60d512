// LZMA2 blob writing on top of liblzma's raw LZMA2 filter, and reading in one piece.
#include "deltapatch/lzma2blob.h"

#include <lzma.h>

#include <algorithm>

#include "deltapatch/enginelog.h"
#include "deltapatch/lzma2blobreader.h"
#include "deltapatch/lzmablocks.h"

namespace deltapatch {

namespace {

constexpr uint8_t kMaxProperty = 40;
constexpr size_t kMinDictionary = LZMA_DICT_SIZE_MIN;
constexpr uint32_t kPresetLevel = 9;
constexpr size_t kEncodeChunk = size_t(1) << 15;

// Level 9 wants a 64 MiB dictionary; a small input never needs more than its own length,
// and the decoder sizes its dictionary from the property byte, so round up to a size the
// byte represents exactly (2^n or 3 * 2^(n-1)), but never past `ceiling`.
uint32_t EncoderDictionary(size_t length, uint32_t ceiling)
{
    const size_t wanted = std::max(std::min(length, size_t(ceiling)), kMinDictionary);
    size_t below = kMinDictionary;
    for (unsigned property = 0; property < kMaxProperty; ++property) {
        const size_t size = size_t(2 | (property & 1)) << (property / 2 + 11);
        if (size >= wanted)
            return static_cast<uint32_t>(size <= ceiling ? size : below);
        below = size;
    }
    return ceiling;
}

bool Encode(lzma_stream* stream, const uint8_t* data, size_t length, ByteSink* sink)
{
    uint8_t chunk[kEncodeChunk];
    stream->next_in = data;
    stream->avail_in = length;
    for (;;) {
        stream->next_out = chunk;
        stream->avail_out = sizeof chunk;
        const lzma_ret ret = lzma_code(stream, LZMA_FINISH);
        if (ret != LZMA_OK && ret != LZMA_STREAM_END)
            return false;
        if (!sink->write(chunk, sizeof chunk - stream->avail_out))
            return false;
        if (ret == LZMA_STREAM_END)
            return true;
    }
}

} // namespace

bool ReadLzma2Blob(ByteSource* source, ByteSink* sink)
{
    // Decoded whole at once: the dictionary fills completely anyway.
    Lzma2BlobReader reader(true);
    if (!reader.open(*source) || !reader.read(reader.declared(), sink) || !reader.finish())
        return false;
    return source->skip(reader.consumed());
}

bool WriteLzma2Blob(ByteSource* source, ByteSink* sink)
{
    if (!WriteLzma2Blob(source->current(), source->remaining(), sink))
        return false;
    return source->skip(source->remaining());
}

// Level 9 with the dictionary fitted to the input, then whatever `tuning` asks for.
static bool WriteBlob(const uint8_t* data, size_t length, ByteSink* sink, const Lzma2Tuning* tuning)
{
    // The size field is 32 bits wide; refuse rather than write a blob that lies about it.
    if (length > UINT32_MAX) {
        logError("Error LZMA2 input too large");
        return false;
    }
    lzma_options_lzma options;
    const uint32_t preset = kPresetLevel | (tuning != nullptr && tuning->extreme ? LZMA_PRESET_EXTREME : 0);
    if (lzma_lzma_preset(&options, preset)) {
        logError("Error Lzma2Enc_SetProps");
        return false;
    }
    uint32_t ceiling = options.dict_size;
    if (tuning != nullptr && tuning->dictionaryLimit != 0)
        ceiling = std::min(ceiling, std::max(tuning->dictionaryLimit, uint32_t(kMinDictionary)));
    options.dict_size = EncoderDictionary(length, ceiling);
    if (tuning != nullptr) {
        if (tuning->niceLength != 0)
            options.nice_len = tuning->niceLength;
        options.lc = tuning->literalContextBits;
        options.lp = 0;
        options.pb = tuning->positionBits;
    }
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t property = 0;
    if (lzma_properties_encode(&filters[0], &property) != LZMA_OK) {
        logError("Error Lzma2Enc_SetProps");
        return false;
    }
    if (!sink->write(&property, 1) || !sink->writeVarint32(static_cast<uint32_t>(length)))
        return false;
    LzmaBlocks blocks;
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = blocks.allocator();
    const lzma_ret started = lzma_raw_encoder(&stream, filters);
    const bool ok = started == LZMA_OK && Encode(&stream, data, length, sink);
    lzma_end(&stream);
    if (!ok)
        logError(started == LZMA_OPTIONS_ERROR ? "Error Lzma2Enc_SetProps" : "Error Lzma2Enc_Encode");
    return ok;
}

bool WriteLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink)
{
    return WriteBlob(data, length, sink, nullptr);
}

bool WriteLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink, const Lzma2Tuning& tuning)
{
    return WriteBlob(data, length, sink, &tuning);
}

} // namespace deltapatch
