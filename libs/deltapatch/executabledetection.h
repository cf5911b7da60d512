// Executable detection: which parser accepts an image, and its disassembly into a program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/patchstatus.h"

namespace deltapatch {

// Tries the parsers in their fixed order on data[0, length) and reports the kind and the
// (possibly reduced) image length of the first whose header check succeeds. Otherwise
// STATUS_INPUT_NOT_RECOGNIZED with UNKNOWN and 0; STATUS_GENERAL_ERROR when memory runs out.
PatchStatus DetectExecutable(const uint8_t* data, size_t length, ExecutableKind* kind,
                             size_t* imageLength);

// Detects the image and disassembles it into a new program of the detected kind: STATUS_OK with
// the program, the detection failure, or STATUS_DISASSEMBLY_FAILED. The program points into
// `data`, which must outlive it.
PatchStatus ParseExecutable(const uint8_t* data, size_t length,
                            std::unique_ptr<DisassembledProgram>* program);

} // namespace deltapatch
