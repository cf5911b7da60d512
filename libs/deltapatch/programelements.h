// Finds the executable images that the executable-aware container encodes one by one: the
// slices of a universal ("fat") file, or one image at the start of the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/patchstatus.h"

namespace deltapatch {

struct ProgramElement {
    size_t offset;
    size_t length;
    ExecutableKind kind;
};

// Eight universal-file slices at most, or fewer slices followed by one whole-file image.
constexpr size_t kMaxProgramElements = 9;

struct ProgramElements {
    size_t count = 0;
    ProgramElement items[kMaxProgramElements];
};

using DetectFunction = PatchStatus (*)(const uint8_t* data, size_t length, ExecutableKind* kind,
                                       size_t* imageLength);

// Fills `found` with the elements of data[0, length), each lying inside the data. Returns
// STATUS_OK with at least one element, STATUS_INPUT_NOT_RECOGNIZED, or the detector's failure.
PatchStatus FindProgramElements(const uint8_t* data, size_t length, DetectFunction detect,
                                ProgramElements* found);

} // namespace deltapatch
