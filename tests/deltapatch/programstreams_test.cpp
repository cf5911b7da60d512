// Tests of the stream layout of encoded programs: exact bytes, round trips and refused input.
#include "deltapatch/disassembledprogram.h"
#include "deltapatch/encodedprogram.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "programtesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;

// smallProgram() as written by WriteEncodedProgram.
const std::vector<Bytes> kSmallStreams = {
    {0x80, 0x80, 0x80, 0x02, 0x01, 0x80, 0x20}, // image base, origins
    {0x05, 0x00, 0x01, 0x03, 0x04, 0x9C, 0x40}, // ops
    {0x02, 0xAA, 0xBB},                         // copy bytes
    {0x01, 0x00},                               // abs32 indexes
    {0x02, 0x01, 0x00},                         // rel32 indexes
    {0x01, 0x10},                               // abs32 RVAs as deltas
    {0x02, 0x80, 0x40, 0x80, 0xF0, 0xFF, 0xFF, 0x0F}, // rel32 RVAs: +0x2000, -0x800
    {0x01, 0x02},                               // copy counts
    {},
    {},
};

PatchStatus readFrom(const Bytes& serialised, EncodedProgram* program)
{
    ByteSourceSet set;
    set.init(serialised.data(), serialised.size());
    return ReadEncodedProgram(&set, program);
}

void expectSameProgram(const EncodedProgram& a, const EncodedProgram& b)
{
    EXPECT_EQ(static_cast<uint32_t>(a.imageBase), b.imageBase);
    EXPECT_EQ(valuesOf(a.ops), valuesOf(b.ops));
    EXPECT_EQ(valuesOf(a.origins), valuesOf(b.origins));
    EXPECT_EQ(valuesOf(a.copyCounts), valuesOf(b.copyCounts));
    EXPECT_EQ(valuesOf(a.copyBytes), valuesOf(b.copyBytes));
    EXPECT_EQ(valuesOf(a.rel32Rvas), valuesOf(b.rel32Rvas));
    EXPECT_EQ(valuesOf(a.abs32Rvas), valuesOf(b.abs32Rvas));
    EXPECT_EQ(valuesOf(a.rel32Indexes), valuesOf(b.rel32Indexes));
    EXPECT_EQ(valuesOf(a.abs32Indexes), valuesOf(b.abs32Indexes));
}

TEST(EncodedProgramStreams, WritesTheDocumentedLayout)
{
    EncodedProgram program;
    fill(smallProgram(), &program);
    EXPECT_EQ(writtenStreams(program), kSmallStreams);

    EncodedProgram back;
    ASSERT_EQ(readFrom(serialiseSet(kSmallStreams), &back), STATUS_OK);
    expectSameProgram(program, back);
}

// A program with every instruction kind goes through encode, write, one serialised stream,
// split, read and assembly, and assembles to the same bytes as before serialising.
TEST(EncodedProgramStreams, RoundTripThroughOneSerialisedStream)
{
    static const uint8_t image[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    DisassembledProgram program(WIN_32_X64);
    program.setImageBase(0x1'4000'0000ull); // only the low half survives serialisation
    program.emitByteRun(image, 5);
    program.emitOrigin(0x1000);
    for (uint32_t i = 0; i < 300; ++i) {
        program.emitByte(static_cast<uint8_t>(i));
        program.emitRel32(program.findOrMakeRel32Label(0x5000 - 16 * (i % 7)));
        program.emitAbs32(program.findOrMakeAbs32Label(0x800 + 4 * (i % 5)));
        if (i % 50 == 0)
            program.emitArmRel32(0x44F7, program.findOrMakeRel32Label(0x9000), image, 4);
    }
    program.emitPeRelocationTable();
    program.emitByteRun(image, 9);
    program.assignDefaultIndexes();

    EncodedProgram encoded;
    ASSERT_EQ(EncodeProgram(program, &encoded), STATUS_OK);
    ByteSinkSet set;
    ASSERT_EQ(WriteEncodedProgram(encoded, &set), STATUS_OK);
    ByteSink serialised;
    ASSERT_TRUE(set.copyToOneStream(&serialised));

    ByteSourceSet split;
    ASSERT_TRUE(split.init(serialised.data(), serialised.length()));
    EXPECT_EQ(split.count(), 10u);
    EncodedProgram back;
    ASSERT_EQ(ReadEncodedProgram(&split, &back), STATUS_OK);
    expectSameProgram(encoded, back);

    ByteSink before;
    ByteSink after;
    ASSERT_EQ(AssembleProgram(encoded, &before), STATUS_OK);
    ASSERT_EQ(AssembleProgram(back, &after), STATUS_OK);
    EXPECT_EQ(bytesOf(before), bytesOf(after));
    EXPECT_GT(after.length(), 300u * 9);
}

TEST(EncodedProgramStreams, ReadRefusesMalformedSets)
{
    struct Row {
        const char* name;
        std::function<void(std::vector<Bytes>*)> change;
        PatchStatus status;
    };
    const Row rows[] = {
        {"valid", [](std::vector<Bytes>*) {}, STATUS_OK},
        {"nine streams are enough", [](std::vector<Bytes>* s) { s->pop_back(); }, STATUS_OK},
        {"eight streams", [](std::vector<Bytes>* s) { s->resize(8); }, STATUS_DESERIALIZATION_FAILED},
        {"no streams", [](std::vector<Bytes>* s) { s->clear(); }, STATUS_DESERIALIZATION_FAILED},
        {"all streams empty", [](std::vector<Bytes>* s) { *s = std::vector<Bytes>(10); },
         STATUS_DESERIALIZATION_FAILED},
        {"stream 9 is not checked", [](std::vector<Bytes>* s) { (*s)[9].push_back(0); }, STATUS_OK},
        {"ops count beyond the stream",
         [](std::vector<Bytes>* s) { (*s)[1] = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}; },
         STATUS_DESERIALIZATION_FAILED},
        {"copy byte count beyond the stream", [](std::vector<Bytes>* s) { (*s)[2] = {0x03, 0xAA, 0xBB}; },
         STATUS_DESERIALIZATION_FAILED},
        {"delta vector cut inside a varint",
         [](std::vector<Bytes>* s) { (*s)[6] = {0x02, 0x80, 0x40, 0x80}; }, STATUS_DESERIALIZATION_FAILED},
    };
    for (const Row& row : rows) {
        std::vector<Bytes> streams = kSmallStreams;
        row.change(&streams);
        EncodedProgram program;
        EXPECT_EQ(readFrom(serialiseSet(streams), &program), row.status) << row.name;
    }
}

TEST(EncodedProgramStreams, ReadNeedsStreamsZeroToEightExact)
{
    for (size_t i = 0; i <= 8; ++i) {
        std::vector<Bytes> longer = kSmallStreams;
        longer[i].push_back(0x00);
        EncodedProgram program;
        EXPECT_EQ(readFrom(serialiseSet(longer), &program), STATUS_DESERIALIZATION_FAILED)
            << "leftover in stream " << i;
        if (kSmallStreams[i].empty())
            continue;
        std::vector<Bytes> shorter = kSmallStreams;
        shorter[i].pop_back();
        EXPECT_EQ(readFrom(serialiseSet(shorter), &program), STATUS_DESERIALIZATION_FAILED)
            << "stream " << i << " one byte short";
    }
}

TEST(EncodedProgramStreams, ReadFromAnUnsplittableSetFails)
{
    Bytes serialised = serialiseSet(kSmallStreams);
    serialised.push_back(0x00); // bodies no longer fill the range exactly
    EncodedProgram program;
    EXPECT_EQ(readFrom(serialised, &program), STATUS_DESERIALIZATION_FAILED);
}

// A program of `seed`'s random instructions of every kind, with runs that meet (a lone byte
// followed by an empty run among them), references to a few labels and, for ARM, trimming.
std::unique_ptr<DisassembledProgram> randomProgram(ExecutableKind kind, uint32_t seed,
                                                   const Bytes& image)
{
    auto program = std::make_unique<DisassembledProgram>(kind);
    program->setImageBase(0x400000 + seed);
    uint32_t state = seed * 2654435761u + 1;
    const auto next = [&state](uint32_t n) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % n;
    };
    for (int i = 0; i < 400; ++i) {
        const uint32_t at = next(uint32_t(image.size()) - 8);
        switch (next(10)) {
        case 0: program->emitOrigin(at * 16); break;
        case 1: program->emitByte(uint8_t(at)); break;
        case 2: program->emitByteRun(image.data() + at, next(3)); break; // 0, 1 or 2 bytes
        case 3: program->emitByteRun(image.data() + at, 3 + next(5)); break;
        case 4: program->emitRel32(program->findOrMakeRel32Label(0x1000 + next(12) * 4)); break;
        case 5: program->emitAbs32(program->findOrMakeAbs32Label(0x2000 + next(6) * 8)); break;
        case 6:
            program->emitArmRel32(uint16_t(0x1000 * (1 + next(5)) + next(0x100)),
                                  program->findOrMakeRel32Label(0x3000 + next(40) * 2),
                                  image.data() + at, 2 + 2 * next(2));
            break;
        case 7: program->emitPeRelocationTable(); break;
        case 8: program->emitElfRelocationTable(); break;
        default: program->emitElfArmRelocationTable(); break;
        }
    }
    program->assignDefaultIndexes();
    EXPECT_EQ(program->trimLabels(), STATUS_OK);
    return program;
}

// Encoding straight into streams gives the bytes that encoding and then writing give, also
// when the streams already hold a program.
TEST(EncodedProgramStreams, DirectEncodingWritesWhatEncodingAndWritingWrite)
{
    Bytes image(512);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 37 + 11);
    for (ExecutableKind kind : {WIN_32_X86, WIN_32_X64, ELF_32_ARM, MACHO_X64}) {
        for (uint32_t seed = 1; seed <= 20; ++seed) {
            SCOPED_TRACE(std::to_string(kind) + " seed " + std::to_string(seed));
            const auto program = randomProgram(kind, seed, image);
            const auto earlier = randomProgram(kind, seed + 100, image);
            ByteSinkSet expected;
            ByteSinkSet direct;
            for (const DisassembledProgram* each : {earlier.get(), program.get()}) {
                EncodedProgram encoded;
                ASSERT_EQ(EncodeProgram(*each, &encoded), STATUS_OK);
                ASSERT_EQ(WriteEncodedProgram(encoded, &expected), STATUS_OK);
                ASSERT_EQ(EncodeProgramToStreams(*each, &direct), STATUS_OK);
            }
            for (size_t i = 0; i < expected.count(); ++i)
                EXPECT_EQ(bytesOf(*direct.stream(i)), bytesOf(*expected.stream(i))) << i;
        }
    }
}

// A program over several instruction blocks reads back as emitted, and encoding it while its
// instructions are freed writes what encoding and writing write.
TEST(EncodedProgramStreams, ReleasingEncoderWritesWhatEncodingAndWritingWrite)
{
    static const uint8_t image[] = {1, 2, 3, 4, 5, 6, 7, 8};
    constexpr uint32_t kCount = 300000; // the first block and two of a huge page each
    DisassembledProgram program(MACHO_X64);
    for (uint32_t i = 0; i < kCount; ++i) {
        if (i % 3 == 0)
            ASSERT_TRUE(program.emitOrigin(i));
        else if (i % 3 == 1)
            ASSERT_TRUE(program.emitByteRun(image + i % 4, 1 + i % 4));
        else
            ASSERT_TRUE(program.emitRel32(program.findOrMakeRel32Label(i % 1000 * 4)));
    }
    program.assignDefaultIndexes();
    ASSERT_EQ(program.instructionCount(), size_t(kCount));
    for (uint32_t i = 0; i < kCount; ++i) {
        const Instruction& in = program.instruction(i);
        ASSERT_EQ(in.kind(), i % 3 == 0   ? INSTRUCTION_ORIGIN
                             : i % 3 == 1 ? INSTRUCTION_BYTE_RUN
                                          : INSTRUCTION_REL32) << i;
        if (i % 3 == 0)
            ASSERT_EQ(in.value, i);
        else if (i % 3 == 1)
            ASSERT_EQ(in.bytes, image + i % 4);
        else
            ASSERT_EQ(in.label->rva, i % 1000 * 4);
    }
    EncodedProgram encoded;
    ASSERT_EQ(EncodeProgram(program, &encoded), STATUS_OK);
    ByteSinkSet expected;
    ASSERT_EQ(WriteEncodedProgram(encoded, &expected), STATUS_OK);
    ByteSinkSet direct;
    ASSERT_EQ(EncodeAndReleaseProgram(&program, &direct), STATUS_OK);
    for (size_t i = 0; i < expected.count(); ++i)
        EXPECT_EQ(bytesOf(*direct.stream(i)), bytesOf(*expected.stream(i))) << i;
    // A released program takes nothing more.
    EXPECT_FALSE(program.emitOrigin(0));
}

} // namespace
} // namespace deltapatch
