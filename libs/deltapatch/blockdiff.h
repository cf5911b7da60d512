// Block diff: copy-with-additive-difference patches over a suffix-sorted old buffer.
#pragma once

#include <cstdint>
#include <functional>

#include "deltapatch/streams.h"

namespace deltapatch {

enum BlockDiffMethod : uint8_t {
    METHOD_NONE = 0,
    METHOD_LZMA2_SECTIONS = 1,
    METHOD_LZMA2_BODY = 2,
};

constexpr char kBlockDiffMagic[8] = {'O', 'V', 'D', 'I', 'F', 'F', '1', '0'};

// Optional progress report of long runs: bytes done out of total (new data scanned).
using ProgressCallback = std::function<void(uint64_t done, uint64_t total)>;

// Applies the patch at `patch`'s position to `old`'s remaining bytes, appending the new data to
// `output` and advancing `patch` past the patch. On failure the output holds whatever was
// appended so far; callers discard it.
bool ApplyBlockDiff(ByteSource old, ByteSource* patch, ByteSink* output, bool withHeader);

// For the engine's own use: applies a patch without header whose old data are `first`'s
// remaining bytes followed by `second`'s, read where they lie so that no caller has to join
// them. Old positions, range checks and messages are exactly those of ApplyBlockDiff.
bool ApplyBlockDiffOverSegments(ByteSource first, ByteSource second, ByteSource* patch,
                                ByteSink* output);

// Called once a generator has read its inputs for the last time, before it compresses, so that
// the caller may unmap them and the encoder's memory does not come on top of theirs.
using InputsDoneCallback = std::function<void()>;

// Appends a patch from `old`'s to `newData`'s remaining bytes. Inputs of 2^31 bytes or more are
// refused. `inputsDone`, if any, is called at most once, after the last read of either input.
bool GenerateBlockDiff(ByteSource old, ByteSource newData, ByteSink* output, bool withHeader,
                       BlockDiffMethod method, const ProgressCallback& progress = nullptr,
                       const InputsDoneCallback& inputsDone = nullptr);

} // namespace deltapatch
