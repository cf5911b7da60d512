// A program as flat vectors of opcodes, addresses, label indexes and bytes: its encoding from a
// disassembled program, its stream layout and its assembly back into image bytes.
#pragma once

#include <cstdint>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

enum EncodedOp : uint32_t {
    OP_ORIGIN = 0,
    OP_COPY = 1,
    OP_COPY1 = 2,
    OP_REL32 = 3,
    OP_ABS32 = 4,
    OP_MAKE_PE_RELOCATION_TABLE = 5,
    OP_MAKE_ELF_RELOCATION_TABLE = 6,
    OP_MAKE_ELF_ARM_RELOCATION_TABLE = 7,
    OP_MAKE_PE64_RELOCATION_TABLE = 8,
    // 0x1000..0x5FFF: ARM branches; the top four bits are the form (1..5), the rest
    // instruction bits.
    OP_ARM_FIRST = 0x1000,
    OP_ARM_LAST = 0x5FFF,
};

// Streams of a serialised program, in the order their content is listed.
enum EncodedProgramStream : size_t {
    STREAM_MISC = 0, // image base, origins
    STREAM_OPS = 1,
    STREAM_COPY_BYTES = 2,
    STREAM_ABS32_INDEXES = 3,
    STREAM_REL32_INDEXES = 4,
    STREAM_ABS32_RVAS = 5,
    STREAM_REL32_RVAS = 6,
    STREAM_COPY_COUNTS = 7,
};

struct EncodedProgram {
    uint64_t imageBase = 0; // only the low 32 bits are serialised
    GrowableArray<uint32_t> rel32Rvas; // label index -> RVA
    GrowableArray<uint32_t> abs32Rvas;
    GrowableArray<uint32_t> ops;
    GrowableArray<uint32_t> origins;
    GrowableArray<uint32_t> copyCounts;
    GrowableArray<uint8_t> copyBytes;
    GrowableArray<uint32_t> rel32Indexes;
    GrowableArray<uint32_t> abs32Indexes;
};

// Fills the empty `encoded` from `program`: label RVAs by index (gaps take the previous entry),
// consecutive bytes merged into copy ops. STATUS_OK, or STATUS_GENERAL_ERROR when memory runs
// out or a label in a table has no index.
PatchStatus EncodeProgram(const DisassembledProgram& program, EncodedProgram* encoded);

// Appends the program to streams 0..7 of `streams`. STATUS_OK or STATUS_STREAM_ERROR.
PatchStatus WriteEncodedProgram(const EncodedProgram& program, ByteSinkSet* streams);

// Writes a label RVA vector as its count and the steps between entries (the stream layout of
// both RVA tables). False when the sink fails.
bool WriteDeltaVector(ByteSink* sink, const GrowableArray<uint32_t>& values);

// Appends to `streams` exactly what EncodeProgram followed by WriteEncodedProgram would, without
// the encoded vectors in between. STATUS_OK; STATUS_GENERAL_ERROR for a program EncodeProgram
// refuses; STATUS_STREAM_ERROR when a stream cannot take the bytes.
PatchStatus EncodeProgramToStreams(const DisassembledProgram& program, ByteSinkSet* streams);

// As EncodeProgramToStreams, freeing the program's instructions as they are written; afterwards
// the program has only its labels and its instructions must not be read.
PatchStatus EncodeAndReleaseProgram(DisassembledProgram* program, ByteSinkSet* streams);

// Replaces `program` with the one read from `streams`, which must have at least nine streams and
// leave streams 0..8 fully consumed. STATUS_OK or STATUS_DESERIALIZATION_FAILED. Counts are
// checked against the bytes their stream holds before anything is reserved.
PatchStatus ReadEncodedProgram(ByteSourceSet* streams, EncodedProgram* program);

// Appends the image bytes the program describes to `output`, including the relocation tables
// it asks for. STATUS_OK, or STATUS_ASSEMBLY_FAILED (the caller discards `output`) on a missing
// or unused operand, an unknown op, a second table marker or lack of memory.
PatchStatus AssembleProgram(const EncodedProgram& program, ByteSink* output);

// The instruction of ARM branch opcode `op` that reaches `distance` bytes from its own address:
// a halfword for forms 1 and 2, a word for form 3, and for the two-halfword forms 4 and 5 the
// first halfword in the high half. 0 for an opcode outside forms 1..5.
uint32_t EncodeArmBranch(uint32_t op, uint32_t distance);

} // namespace deltapatch
