// Writing an encoded program into a stream set and reading it back.
#include "deltapatch/encodedprogram.h"
#include "deltapatch/encodedprogram_inplace.h"

namespace deltapatch {

namespace {

constexpr size_t kReadStreamsNeeded = 9;

bool writeVector(ByteSink* sink, const GrowableArray<uint32_t>& values)
{
    if (!sink->writeSizeVarint32(values.size()))
        return false;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!sink->writeVarint32(values[i]))
            return false;
    }
    return true;
}

bool writeBytes(ByteSink* sink, const GrowableArray<uint8_t>& bytes)
{
    return sink->writeSizeVarint32(bytes.size()) && sink->write(bytes.data(), bytes.size());
}

// Every element takes at least one byte, so a count beyond the stream's bytes is a lie that
// must not reach the allocator.
bool readCount(ByteSource* source, uint32_t* count)
{
    return source->readVarint32(count) && *count <= source->remaining();
}

bool readVector(ByteSource* source, GrowableArray<uint32_t>* values, bool delta)
{
    uint32_t count = 0;
    if (!readCount(source, &count))
        return false;
    values->clear();
    if (!values->reserve(count))
        return false;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!source->readVarint32(&value))
            return false;
        if (delta)
            value += previous;
        previous = value;
        if (!values->push_back(value))
            return false;
    }
    return true;
}

// Checks that the vector's values are readable and leaves them where they are.
bool locateVector(ByteSource* source, SerialisedVector* vector)
{
    uint32_t count = 0;
    if (!readCount(source, &count))
        return false;
    const uint8_t* start = source->current();
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!source->readVarint32(&value))
            return false;
    }
    vector->varints.init(start, size_t(source->current() - start));
    vector->count = count;
    return true;
}

// The copy bytes' range inside their stream; the stream is advanced past them.
bool locateBytes(ByteSource* source, ByteSource* bytes)
{
    uint32_t count = 0;
    if (!readCount(source, &count))
        return false;
    bytes->init(source->current(), count);
    return source->skip(count);
}

// Both readers take the vectors in the order the writer put them into each stream.
bool readStreams(ByteSourceSet* set, SerialisedProgram* program)
{
    uint32_t imageBase = 0;
    if (!set->stream(STREAM_MISC)->readVarint32(&imageBase))
        return false;
    program->imageBase = imageBase;
    return readVector(set->stream(STREAM_ABS32_RVAS), &program->abs32Rvas, true) &&
           readVector(set->stream(STREAM_REL32_RVAS), &program->rel32Rvas, true) &&
           locateVector(set->stream(STREAM_MISC), &program->origins) &&
           locateVector(set->stream(STREAM_OPS), &program->ops) &&
           locateVector(set->stream(STREAM_COPY_COUNTS), &program->copyCounts) &&
           locateBytes(set->stream(STREAM_COPY_BYTES), &program->copyBytes) &&
           locateVector(set->stream(STREAM_ABS32_INDEXES), &program->abs32Indexes) &&
           locateVector(set->stream(STREAM_REL32_INDEXES), &program->rel32Indexes);
}

bool readBytes(ByteSource* source, GrowableArray<uint8_t>* bytes)
{
    ByteSource range;
    if (!locateBytes(source, &range))
        return false;
    const size_t count = range.remaining();
    bytes->clear();
    return bytes->resize(count, 0) && (count == 0 || range.read(bytes->data(), count));
}

bool readStreams(ByteSourceSet* set, EncodedProgram* program)
{
    uint32_t imageBase = 0;
    if (!set->stream(STREAM_MISC)->readVarint32(&imageBase))
        return false;
    program->imageBase = imageBase;
    return readVector(set->stream(STREAM_ABS32_RVAS), &program->abs32Rvas, true) &&
           readVector(set->stream(STREAM_REL32_RVAS), &program->rel32Rvas, true) &&
           readVector(set->stream(STREAM_MISC), &program->origins, false) &&
           readVector(set->stream(STREAM_OPS), &program->ops, false) &&
           readVector(set->stream(STREAM_COPY_COUNTS), &program->copyCounts, false) &&
           readBytes(set->stream(STREAM_COPY_BYTES), &program->copyBytes) &&
           readVector(set->stream(STREAM_ABS32_INDEXES), &program->abs32Indexes, false) &&
           readVector(set->stream(STREAM_REL32_INDEXES), &program->rel32Indexes, false);
}

// Both readers leave streams 0..8 consumed exactly or fail.
template <typename Program>
PatchStatus readProgram(ByteSourceSet* streams, Program* program)
{
    if (streams->count() < kReadStreamsNeeded || !readStreams(streams, program))
        return STATUS_DESERIALIZATION_FAILED;
    for (size_t i = 0; i < kReadStreamsNeeded; ++i) {
        if (!streams->stream(i)->empty())
            return STATUS_DESERIALIZATION_FAILED;
    }
    return STATUS_OK;
}

} // namespace

// Sorted label RVAs are mostly small steps apart; unsigned wrap-around keeps any order exact.
bool WriteDeltaVector(ByteSink* sink, const GrowableArray<uint32_t>& values)
{
    if (!sink->writeSizeVarint32(values.size()))
        return false;
    uint32_t previous = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!sink->writeVarint32(values[i] - previous))
            return false;
        previous = values[i];
    }
    return true;
}

PatchStatus WriteEncodedProgram(const EncodedProgram& program, ByteSinkSet* streams)
{
    if (streams->count() <= STREAM_COPY_COUNTS)
        return STATUS_STREAM_ERROR;
    ByteSink* ops = streams->stream(STREAM_OPS);
    bool ok = streams->stream(STREAM_MISC)->writeVarint32(static_cast<uint32_t>(program.imageBase)) &&
              WriteDeltaVector(streams->stream(STREAM_ABS32_RVAS), program.abs32Rvas) &&
              WriteDeltaVector(streams->stream(STREAM_REL32_RVAS), program.rel32Rvas) &&
              writeVector(streams->stream(STREAM_MISC), program.origins) &&
              ops->reserve(ops->length() + program.ops.size() + 5) &&
              writeVector(ops, program.ops) &&
              writeVector(streams->stream(STREAM_COPY_COUNTS), program.copyCounts) &&
              writeBytes(streams->stream(STREAM_COPY_BYTES), program.copyBytes) &&
              writeVector(streams->stream(STREAM_ABS32_INDEXES), program.abs32Indexes) &&
              writeVector(streams->stream(STREAM_REL32_INDEXES), program.rel32Indexes);
    return ok ? STATUS_OK : STATUS_STREAM_ERROR;
}

PatchStatus ReadSerialisedProgram(ByteSourceSet* streams, SerialisedProgram* program)
{
    return readProgram(streams, program);
}

PatchStatus ReadEncodedProgram(ByteSourceSet* streams, EncodedProgram* program)
{
    return readProgram(streams, program);
}

} // namespace deltapatch
