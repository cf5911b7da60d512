// LZMA2 blob: one property byte, the unpacked size as varint32, then a raw LZMA2 stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/streams.h"

namespace deltapatch {

// Decodes one blob at the source's position, appends exactly the declared number of bytes to
// `sink` and advances the source past the consumed LZMA2 data. Memory stays bounded by what the
// remaining input can produce, whatever size the blob declares.
bool ReadLzma2Blob(ByteSource* source, ByteSink* sink);

// Compress the source's remaining bytes (the source is advanced to its end) or a memory range,
// appending one blob to `sink`.
bool WriteLzma2Blob(ByteSource* source, ByteSink* sink);
bool WriteLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink);

// Encoder settings beyond level 9 for writers that know their data; any reader decodes the
// result, since the literal and position bits travel in the LZMA2 chunk headers.
struct Lzma2Tuning {
    bool extreme = false;        // the slow preset variant
    uint32_t niceLength = 0;     // 0 keeps the preset's
    uint32_t literalContextBits = 3;
    uint32_t positionBits = 2;
    // Largest dictionary to use (0: the level's 64 MiB). The decoder allocates what the property
    // byte declares, so this bounds the reader's memory too. A limit the property byte cannot
    // express exactly is rounded down to one it can.
    uint32_t dictionaryLimit = 0;
};
bool WriteLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink, const Lzma2Tuning& tuning);

} // namespace deltapatch
