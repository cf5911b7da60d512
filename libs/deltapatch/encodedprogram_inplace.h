// Reading and assembling an encoded program straight from its serialised streams, for callers
// that assemble a program once and then drop it.
#pragma once

#include <cstddef>

#include "deltapatch/encodedprogram.h"

namespace deltapatch {

// A vector left in its stream: `count` varint32s that have been checked to be readable.
struct SerialisedVector {
    ByteSource varints;
    size_t count = 0;
};

// An encoded program whose label RVA tables are decoded (assembly looks them up by index) while
// everything that assembly reads once, in order, stays where it was serialised.
struct SerialisedProgram {
    uint64_t imageBase = 0;
    GrowableArray<uint32_t> rel32Rvas;
    GrowableArray<uint32_t> abs32Rvas;
    SerialisedVector ops;
    SerialisedVector origins;
    SerialisedVector copyCounts;
    SerialisedVector rel32Indexes;
    SerialisedVector abs32Indexes;
    ByteSource copyBytes;
};

// Reads `streams` with every check of ReadEncodedProgram (same statuses) but copies only the
// RVA tables; the rest points into the bytes the set was split from, which must outlive it.
PatchStatus ReadSerialisedProgram(ByteSourceSet* streams, SerialisedProgram* program);

// Assembles exactly as AssembleProgram would the same program read by ReadEncodedProgram.
PatchStatus AssembleSerialisedProgram(const SerialisedProgram& program, ByteSink* output);

} // namespace deltapatch
