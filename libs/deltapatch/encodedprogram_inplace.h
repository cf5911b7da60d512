// Reading and assembling an encoded program whose copy bytes stay where they were serialised,
// for callers that assemble a program once and then drop it.
#pragma once

#include "deltapatch/encodedprogram.h"

namespace deltapatch {

// As ReadEncodedProgram, except that the copy bytes are not copied: `copyBytes` is set to their
// range inside the set's copy-byte stream (valid as long as the bytes the set was split from)
// and `program->copyBytes` is left empty.
PatchStatus ReadEncodedProgramInPlace(ByteSourceSet* streams, EncodedProgram* program,
                                      ByteSource* copyBytes);

// As AssembleProgram, with the copy bytes read from `copyBytes` instead of `program.copyBytes`.
PatchStatus AssembleProgramWithCopyBytes(const EncodedProgram& program, ByteSource copyBytes,
                                         ByteSink* output);

} // namespace deltapatch
