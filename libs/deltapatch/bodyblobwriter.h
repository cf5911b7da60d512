// LZMA2 blob of an ensemble patch body, compressed harder than the container's blobs: a body is
// mostly long runs of zero difference bytes, which the default settings cut into short matches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/lzma2blob.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// Appends one LZMA2 blob (property byte, size varint32, raw LZMA2 stream) of the range, in the
// layout ReadLzma2Blob reads, with a dictionary of at most 4 MiB. False (logged) when the range
// is 2^32 bytes or more or the encoder fails.
bool WriteBodyLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink);

// The settings WriteBodyLzma2Blob uses, for callers that vary one of them (the literal
// context bits) and keep the rest, the dictionary limit above all.
Lzma2Tuning BodyLzma2Tuning();

} // namespace deltapatch
