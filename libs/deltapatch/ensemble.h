// Ensemble patches: a whole-file patch that re-expresses executable regions of the old file as
// label-indexed programs, so that patches between builds of an executable stay small.
#pragma once

#include <cstdint>
#include <functional>

#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

constexpr uint32_t kEnsembleMagic = 7696195;     // 0x00756F43
constexpr uint32_t kEnsembleVersion = 20110216;  // 0x0132DB88

// Header fields 3-5 of an ensemble patch.
struct EnsemblePatchHeader {
    uint32_t sourceChecksum = 0; // ContentChecksum of the whole old file
    uint32_t targetChecksum = 0; // ContentChecksum of the whole new file
    // Bytes the re-assembled elements are expected to add to the old file's length. Only a
    // reservation hint: readers never reserve more than the patch can produce.
    uint32_t sizePrediction = 0;
};

// Reads the header fields at `patch`'s position, advancing it: STATUS_BAD_MAGIC,
// STATUS_BAD_VERSION or STATUS_BAD_HEADER for a missing or wrong field, otherwise STATUS_OK.
PatchStatus ReadEnsembleHeader(ByteSource* patch, EnsemblePatchHeader* header);

// Applies the patch file to the old file and writes the new file (UTF-8 paths). The new file
// is written only on success; the old and patch files are only read.
PatchStatus ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath,
                                    const char* newPath);

// The same on memory: the old bytes are `old`'s remaining bytes, the patch is read from
// `patch`'s position, the new file is appended to `output` (left untouched on failure).
PatchStatus ApplyEnsemblePatch(ByteSource old, ByteSource patch, ByteSink* output);

// Called at most once, when the old bytes will not be read again until the final diff reads
// them afresh: a caller that maps the old file may let the kernel take its pages back meanwhile.
using OldDataIdleCallback = std::function<void()>;

// ApplyEnsemblePatch with `oldIdle` (may be empty) called as described above.
PatchStatus ApplyEnsemblePatch(ByteSource old, ByteSource patch, ByteSink* output,
                               const OldDataIdleCallback& oldIdle);

} // namespace deltapatch
