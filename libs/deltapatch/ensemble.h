// Ensemble patches: a whole-file patch that re-expresses executable regions of the old file as
// label-indexed programs, so that patches between builds of an executable stay small.
#pragma once

#include <cstdint>

#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

constexpr uint32_t kEnsembleMagic = 7696195;     // 0x00756F43
constexpr uint32_t kEnsembleVersion = 20110216;  // 0x0132DB88

// Applies the patch file to the old file and writes the new file (UTF-8 paths). The new file
// is written only on success; the old and patch files are only read.
PatchStatus ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath,
                                    const char* newPath);

// The same on memory: the old bytes are `old`'s remaining bytes, the patch is read from
// `patch`'s position, the new file is appended to `output`.
PatchStatus ApplyEnsemblePatch(ByteSource old, ByteSource patch, ByteSink* output);

} // namespace deltapatch
