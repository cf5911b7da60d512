// Executable images inside the executable-aware container: detection, encoding into a program
// source and re-assembly from one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// Detects the executable image at the start of data[0, length). Returns STATUS_OK with its kind
// and image length, STATUS_INPUT_NOT_RECOGNIZED when no parser accepts the bytes, or another
// status when detection itself failed.
PatchStatus DetectProgram(const uint8_t* data, size_t length, ExecutableKind* kind,
                          size_t* imageLength);

// Disassembles, trims and encodes the image data[0, length), appends its program source (a
// serialised 10-stream set) to `programSource` and the program's assembled bytes to
// `assembled`. Logs what failed.
bool EncodeProgramSource(const uint8_t* data, size_t length, ByteSink* programSource,
                         ByteSink* assembled);

// Reads the encoded program held in a split program source and appends its assembled bytes to
// `assembled`. Logs what failed.
bool AssembleProgramSource(ByteSourceSet* source, ByteSink* assembled);

} // namespace deltapatch
