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

} // namespace deltapatch
