// Encoding a disassembled program into flat vectors.
#include "deltapatch/encodedprogram.h"

#include <algorithm>

namespace deltapatch {

namespace {

constexpr uint32_t kUnassignedRva = 0xFFFFFFFF;

// Index -> RVA for one label table. Indexes without a label repeat the entry before them, so
// the delta-coded stream stays small.
bool fillLabelRvas(const DisassembledProgram::LabelTable& table, GrowableArray<uint32_t>* rvas)
{
    size_t needed = 0;
    for (const auto& entry : table) {
        if (entry.second.index < 0)
            return false;
        needed = std::max(needed, static_cast<size_t>(entry.second.index) + 1);
    }
    if (!rvas->resize(needed, kUnassignedRva))
        return false;
    for (const auto& entry : table)
        (*rvas)[static_cast<size_t>(entry.second.index)] = entry.second.rva;
    uint32_t previous = 0;
    for (size_t i = 0; i < rvas->size(); ++i) {
        if ((*rvas)[i] == kUnassignedRva)
            (*rvas)[i] = previous;
        previous = (*rvas)[i];
    }
    return true;
}

// Consecutive bytes share one copy op; a lone byte uses the shorter single-byte copy.
bool addBytes(EncodedProgram* encoded, const uint8_t* bytes, uint32_t n)
{
    GrowableArray<uint32_t>& ops = encoded->ops;
    GrowableArray<uint32_t>& counts = encoded->copyCounts;
    if (!ops.empty() && ops[ops.size() - 1] == OP_COPY1) {
        ops[ops.size() - 1] = OP_COPY;
        if (!counts.push_back(1))
            return false;
    }
    if (!ops.empty() && ops[ops.size() - 1] == OP_COPY) {
        uint32_t& count = counts[counts.size() - 1];
        if (count > UINT32_MAX - n)
            return false;
        count += n;
    } else if (n == 1) {
        if (!ops.push_back(OP_COPY1))
            return false;
    } else if (n > 1) {
        if (!ops.push_back(OP_COPY) || !counts.push_back(n))
            return false;
    }
    return encoded->copyBytes.append(bytes, n);
}

bool addReference(GrowableArray<uint32_t>* ops, uint32_t op, GrowableArray<uint32_t>* indexes,
                  const AddressLabel* label)
{
    return ops->push_back(op) && indexes->push_back(static_cast<uint32_t>(label->index));
}

bool addInstruction(const Instruction& in, ExecutableKind kind, EncodedProgram* encoded)
{
    switch (in.kind()) {
    case INSTRUCTION_ORIGIN:
        return encoded->ops.push_back(OP_ORIGIN) && encoded->origins.push_back(in.value);
    case INSTRUCTION_BYTE: {
        const uint8_t value = in.byteValue();
        return addBytes(encoded, &value, 1);
    }
    case INSTRUCTION_BYTE_RUN:
        return addBytes(encoded, in.bytes, in.value);
    case INSTRUCTION_REL32:
        return addReference(&encoded->ops, OP_REL32, &encoded->rel32Indexes, in.label);
    case INSTRUCTION_ABS32:
        return addReference(&encoded->ops, OP_ABS32, &encoded->abs32Indexes, in.label);
    case INSTRUCTION_ARM_REL32:
        return addReference(&encoded->ops, in.armOpcode, &encoded->rel32Indexes, in.label);
    case INSTRUCTION_PE_RELOCS:
        return encoded->ops.push_back(kind == WIN_32_X86 ? OP_MAKE_PE_RELOCATION_TABLE
                                                         : OP_MAKE_PE64_RELOCATION_TABLE);
    case INSTRUCTION_ELF_RELOCS:
        return encoded->ops.push_back(OP_MAKE_ELF_RELOCATION_TABLE);
    case INSTRUCTION_ELF_ARM_RELOCS:
        return encoded->ops.push_back(OP_MAKE_ELF_ARM_RELOCATION_TABLE);
    }
    return false;
}

// Room for everything the instructions add, so that no vector is copied while it grows: exact
// for origins, bytes and indexes, an upper bound for ops and copy counts.
bool reserveFor(const DisassembledProgram& program, EncodedProgram* encoded)
{
    const size_t n = program.instructionCount();
    size_t origins = 0, copies = 0, bytes = 0, rel32 = 0, abs32 = 0;
    for (size_t i = 0; i < n; ++i) {
        const Instruction& in = program.instruction(i);
        switch (in.kind()) {
        case INSTRUCTION_ORIGIN:
            ++origins;
            break;
        case INSTRUCTION_BYTE:
            ++copies;
            ++bytes;
            break;
        case INSTRUCTION_BYTE_RUN:
            ++copies;
            bytes += in.value;
            break;
        case INSTRUCTION_REL32:
        case INSTRUCTION_ARM_REL32:
            ++rel32;
            break;
        case INSTRUCTION_ABS32:
            ++abs32;
            break;
        default:
            break;
        }
    }
    return encoded->ops.reserve(n) && encoded->origins.reserve(origins) &&
           encoded->copyCounts.reserve(copies) && encoded->copyBytes.reserve(bytes) &&
           encoded->rel32Indexes.reserve(rel32) && encoded->abs32Indexes.reserve(abs32);
}

// Walks the instructions exactly as addInstruction would fill the vectors, handing `out` each
// op and operand in order: op, origin, copyCount, copyBytes, rel32Index, abs32Index. A byte
// run is open until a non-byte instruction or the end closes it, which gives its op.
template <typename Out> class ProgramWalk {
public:
    ProgramWalk(const DisassembledProgram& program, Out* out) : m_Program(program), m_Out(out) {}

    // With `release`, the program's instructions are freed as the walk passes them.
    bool run(DisassembledProgram* release = nullptr)
    {
        constexpr size_t kReleaseEvery = 1 << 16;
        for (size_t i = 0; i < m_Program.instructionCount(); ++i) {
            if (release != nullptr && i % kReleaseEvery == 0)
                release->releaseInstructionsBefore(i);
            if (!step(m_Program.instruction(i)))
                return false;
        }
        return closeRun();
    }

private:
    enum Run { NO_RUN, COPY1_RUN, COPY_RUN };

    bool step(const Instruction& in)
    {
        switch (in.kind()) {
        case INSTRUCTION_BYTE: {
            const uint8_t value = in.byteValue();
            return bytes(&value, 1);
        }
        case INSTRUCTION_BYTE_RUN:
            return bytes(in.bytes, in.value);
        case INSTRUCTION_ORIGIN:
            return closeRun() && m_Out->op(OP_ORIGIN) && m_Out->origin(in.value);
        case INSTRUCTION_REL32:
            return closeRun() && m_Out->op(OP_REL32) && m_Out->rel32Index(in.label->index);
        case INSTRUCTION_ABS32:
            return closeRun() && m_Out->op(OP_ABS32) && m_Out->abs32Index(in.label->index);
        case INSTRUCTION_ARM_REL32:
            return closeRun() && m_Out->op(in.armOpcode) && m_Out->rel32Index(in.label->index);
        case INSTRUCTION_PE_RELOCS:
            return closeRun() && m_Out->op(m_Program.kind() == WIN_32_X86
                                               ? OP_MAKE_PE_RELOCATION_TABLE
                                               : OP_MAKE_PE64_RELOCATION_TABLE);
        case INSTRUCTION_ELF_RELOCS:
            return closeRun() && m_Out->op(OP_MAKE_ELF_RELOCATION_TABLE);
        case INSTRUCTION_ELF_ARM_RELOCS:
            return closeRun() && m_Out->op(OP_MAKE_ELF_ARM_RELOCATION_TABLE);
        default:
            return false;
        }
    }

    // As addBytes: a lone byte would be a single-byte copy, anything added to it (even no
    // bytes) makes it a counted copy.
    bool bytes(const uint8_t* data, uint32_t n)
    {
        if (m_Run == COPY1_RUN) {
            m_Run = COPY_RUN;
            m_Count = 1;
        }
        if (m_Run == COPY_RUN) {
            if (m_Count > UINT32_MAX - n)
                return false;
            m_Count += n;
        } else if (n == 1) {
            m_Run = COPY1_RUN;
        } else if (n > 1) {
            m_Run = COPY_RUN;
            m_Count = n;
        }
        return m_Out->copyBytes(data, n);
    }

    bool closeRun()
    {
        const Run run = m_Run;
        m_Run = NO_RUN;
        if (run == COPY1_RUN)
            return m_Out->op(OP_COPY1);
        return run == NO_RUN || (m_Out->op(OP_COPY) && m_Out->copyCount(m_Count));
    }

    const DisassembledProgram& m_Program;
    Out* m_Out;
    Run m_Run = NO_RUN;
    uint32_t m_Count = 0;
};

// The number of values each vector of the encoding gets.
struct EncodingCounts {
    bool op(uint32_t) { return ++ops, true; }
    bool origin(uint32_t) { return ++origins, true; }
    bool copyCount(uint32_t) { return ++copyCounts, true; }
    bool copyBytes(const uint8_t*, uint32_t n) { return bytes += n, true; }
    bool rel32Index(int32_t) { return ++rel32, true; }
    bool abs32Index(int32_t) { return ++abs32, true; }

    size_t ops = 0, origins = 0, copyCounts = 0, bytes = 0, rel32 = 0, abs32 = 0;
};

// Writes the values into the streams WriteEncodedProgram puts them in, after their counts.
class StreamEncoder {
public:
    explicit StreamEncoder(ByteSinkSet* streams) : m_Streams(streams) {}

    bool op(uint32_t value) { return at(STREAM_OPS)->writeVarint32(value); }
    bool origin(uint32_t value) { return at(STREAM_MISC)->writeVarint32(value); }
    bool copyCount(uint32_t value) { return at(STREAM_COPY_COUNTS)->writeVarint32(value); }
    bool copyBytes(const uint8_t* bytes, uint32_t n)
    {
        return at(STREAM_COPY_BYTES)->write(bytes, n);
    }
    bool rel32Index(int32_t index)
    {
        return at(STREAM_REL32_INDEXES)->writeVarint32(uint32_t(index));
    }
    bool abs32Index(int32_t index)
    {
        return at(STREAM_ABS32_INDEXES)->writeVarint32(uint32_t(index));
    }

    // The image base, the label RVA tables, and each vector's count.
    bool start(uint64_t imageBase, const GrowableArray<uint32_t>& abs32Rvas,
               const GrowableArray<uint32_t>& rel32Rvas, const EncodingCounts& counts)
    {
        ByteSink* ops = at(STREAM_OPS);
        ByteSink* bytes = at(STREAM_COPY_BYTES);
        return at(STREAM_MISC)->writeVarint32(uint32_t(imageBase)) &&
               WriteDeltaVector(at(STREAM_ABS32_RVAS), abs32Rvas) &&
               WriteDeltaVector(at(STREAM_REL32_RVAS), rel32Rvas) &&
               at(STREAM_MISC)->writeSizeVarint32(counts.origins) &&
               ops->reserve(ops->length() + counts.ops + 5) &&
               ops->writeSizeVarint32(counts.ops) &&
               at(STREAM_COPY_COUNTS)->writeSizeVarint32(counts.copyCounts) &&
               bytes->reserve(bytes->length() + counts.bytes + 5) &&
               bytes->writeSizeVarint32(counts.bytes) &&
               at(STREAM_ABS32_INDEXES)->writeSizeVarint32(counts.abs32) &&
               at(STREAM_REL32_INDEXES)->writeSizeVarint32(counts.rel32);
    }

private:
    ByteSink* at(size_t stream) { return m_Streams->stream(stream); }

    ByteSinkSet* m_Streams;
};

// Counts first, then writes; with `release` (the program itself) its instructions go as they
// are written.
PatchStatus encodeToStreams(const DisassembledProgram& program, ByteSinkSet* streams,
                            DisassembledProgram* release)
{
    GrowableArray<uint32_t> abs32Rvas;
    GrowableArray<uint32_t> rel32Rvas;
    EncodingCounts counts;
    if (!fillLabelRvas(program.abs32Labels(), &abs32Rvas) ||
        !fillLabelRvas(program.rel32Labels(), &rel32Rvas) ||
        !ProgramWalk<EncodingCounts>(program, &counts).run())
        return STATUS_GENERAL_ERROR;
    if (streams->count() <= STREAM_COPY_COUNTS)
        return STATUS_STREAM_ERROR;
    StreamEncoder encoder(streams);
    if (!encoder.start(program.imageBase(), abs32Rvas, rel32Rvas, counts))
        return STATUS_STREAM_ERROR;
    abs32Rvas.clear();
    rel32Rvas.clear();
    const bool written = ProgramWalk<StreamEncoder>(program, &encoder).run(release);
    return written ? STATUS_OK : STATUS_STREAM_ERROR;
}

} // namespace

PatchStatus EncodeProgramToStreams(const DisassembledProgram& program, ByteSinkSet* streams)
{
    return encodeToStreams(program, streams, nullptr);
}

PatchStatus EncodeAndReleaseProgram(DisassembledProgram* program, ByteSinkSet* streams)
{
    const PatchStatus status = encodeToStreams(*program, streams, program);
    program->releaseInstructionsBefore(program->instructionCount());
    return status;
}

PatchStatus EncodeProgram(const DisassembledProgram& program, EncodedProgram* encoded)
{
    encoded->imageBase = program.imageBase();
    if (!fillLabelRvas(program.abs32Labels(), &encoded->abs32Rvas) ||
        !fillLabelRvas(program.rel32Labels(), &encoded->rel32Rvas) ||
        !reserveFor(program, encoded))
        return STATUS_GENERAL_ERROR;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        if (!addInstruction(program.instruction(i), program.kind(), encoded))
            return STATUS_GENERAL_ERROR;
    }
    return STATUS_OK;
}

} // namespace deltapatch
