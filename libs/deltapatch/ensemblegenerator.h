// Writes ensemble patches: pairs the executable elements of the old and the new file and
// matches their labels so that the element and final diffs stay small.
#pragma once

#include <cstdint>
#include <functional>

#include "deltapatch/blockdiff.h"
#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

struct EnsembleGeneratorOptions {
    // Off: always write the plain form (no patchers, one whole-file diff).
    bool executableAware = true;
    // Apply the finished patch in memory and compare with the new data before returning.
    bool verify = true;
    ProgressCallback progress;
    // For tests: sees each finished candidate patch just before it is verified (told whether it
    // is the executable-aware form) and may damage it to exercise the self-check.
    std::function<void(ByteSink* candidate, bool executableAware)> beforeVerify;
};

// Appends an ensemble patch from `old`'s to `newData`'s remaining bytes to `patch`. STATUS_OK,
// or the status of what failed (a patch that does not reproduce the new data is never
// returned as a success).
PatchStatus GenerateEnsemblePatch(ByteSource old, ByteSource newData, ByteSink* patch,
                                  const EnsembleGeneratorOptions& options = {});

} // namespace deltapatch
