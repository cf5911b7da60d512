// Helpers shared by the program tests: byte vectors, hand-built encoded programs and serialised
// stream sets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deltapatch/encodedprogram.h"
#include "deltapatch/encodedprogram_inplace.h"
#include "deltapatch/streams.h"

namespace deltapatch {
namespace testing {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint32_t>;

inline Bytes bytesOf(const ByteSink& sink)
{
    return Bytes(sink.data(), sink.data() + sink.length());
}

template <typename T> std::vector<T> valuesOf(const GrowableArray<T>& array)
{
    return std::vector<T>(array.data(), array.data() + array.size());
}

template <typename T> void setValues(GrowableArray<T>* array, const std::vector<T>& values)
{
    array->clear();
    for (const T& value : values)
        array->push_back(value);
}

inline void appendU16(Bytes* out, uint32_t value)
{
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

inline void appendU32(Bytes* out, uint32_t value)
{
    appendU16(out, value);
    appendU16(out, value >> 16);
}

// An encoded program written out field by field, for tests that need exact operands.
struct ProgramRows {
    uint64_t imageBase = 0;
    Words ops;
    Words origins;
    Words copyCounts;
    Bytes copyBytes;
    Words rel32Rvas;
    Words abs32Rvas;
    Words rel32Indexes;
    Words abs32Indexes;
};

inline void fill(const ProgramRows& rows, EncodedProgram* program)
{
    program->imageBase = rows.imageBase;
    setValues(&program->ops, rows.ops);
    setValues(&program->origins, rows.origins);
    setValues(&program->copyCounts, rows.copyCounts);
    setValues(&program->copyBytes, rows.copyBytes);
    setValues(&program->rel32Rvas, rows.rel32Rvas);
    setValues(&program->abs32Rvas, rows.abs32Rvas);
    setValues(&program->rel32Indexes, rows.rel32Indexes);
    setValues(&program->abs32Indexes, rows.abs32Indexes);
}

// A valid program that uses every kind of operand once or twice.
inline ProgramRows smallProgram()
{
    ProgramRows rows;
    rows.imageBase = 0x400000;
    rows.ops = {OP_ORIGIN, OP_COPY, OP_REL32, OP_ABS32, 0x201C};
    rows.origins = {0x1000};
    rows.copyCounts = {2};
    rows.copyBytes = {0xAA, 0xBB};
    rows.rel32Rvas = {0x2000, 0x1800};
    rows.abs32Rvas = {0x10};
    rows.rel32Indexes = {1, 0};
    rows.abs32Indexes = {0};
    return rows;
}

struct Assembled {
    PatchStatus status;
    Bytes bytes;
};

// Assembling the program read straight from its serialised streams.
inline Assembled assembleSerialised(const EncodedProgram& program)
{
    ByteSinkSet set;
    ByteSink serialised;
    EXPECT_EQ(WriteEncodedProgram(program, &set), STATUS_OK);
    EXPECT_TRUE(set.copyToOneStream(&serialised));
    ByteSourceSet streams;
    EXPECT_TRUE(streams.init(serialised.data(), serialised.length()));
    SerialisedProgram inPlace;
    EXPECT_EQ(ReadSerialisedProgram(&streams, &inPlace), STATUS_OK);
    ByteSink out;
    const PatchStatus status = AssembleSerialisedProgram(inPlace, &out);
    return {status, bytesOf(out)};
}

// Assembles the decoded program; the same program assembled from its streams must agree.
inline Assembled assemble(const ProgramRows& rows)
{
    EncodedProgram program;
    fill(rows, &program);
    ByteSink out;
    const PatchStatus status = AssembleProgram(program, &out);
    const Assembled serialised = assembleSerialised(program);
    EXPECT_EQ(serialised.status, status);
    if (status == STATUS_OK) {
        EXPECT_EQ(serialised.bytes, bytesOf(out));
    }
    return {status, bytesOf(out)};
}

inline void appendVarint(Bytes* out, uint32_t value)
{
    while (value >= 0x80) {
        out->push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out->push_back(static_cast<uint8_t>(value));
}

// Serialises streams as a stream set with exactly streams.size() streams.
inline Bytes serialiseSet(const std::vector<Bytes>& streams)
{
    Bytes out;
    appendVarint(&out, kStreamSetMagic);
    appendVarint(&out, static_cast<uint32_t>(streams.size()));
    for (const Bytes& stream : streams)
        appendVarint(&out, static_cast<uint32_t>(stream.size()));
    for (const Bytes& stream : streams)
        out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

// The ten streams that WriteEncodedProgram produces for `program`.
inline std::vector<Bytes> writtenStreams(const EncodedProgram& program)
{
    ByteSinkSet set;
    std::vector<Bytes> streams;
    if (WriteEncodedProgram(program, &set) != STATUS_OK)
        return streams;
    for (size_t i = 0; i < set.count(); ++i)
        streams.push_back(bytesOf(*set.stream(i)));
    return streams;
}

inline std::vector<Bytes> writtenStreams(const ProgramRows& rows)
{
    EncodedProgram program;
    fill(rows, &program);
    return writtenStreams(program);
}

} // namespace testing
} // namespace deltapatch
