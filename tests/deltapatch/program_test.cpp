// Tests of disassembled programs: label tables, default indexes, trimming and encoding.
#include "deltapatch/disassembledprogram.h"
#include "deltapatch/encodedprogram.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "capturedlog.h"
#include "programtesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;

const uint8_t kImage[] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};

struct Encoded {
    PatchStatus status;
    Words ops;
    Words copyCounts;
    Bytes copyBytes;
    Words origins;
    Words rel32Indexes;
    Words abs32Indexes;
    Words rel32Rvas;
    Words abs32Rvas;
};

Encoded encode(const DisassembledProgram& program)
{
    EncodedProgram encoded;
    const PatchStatus status = EncodeProgram(program, &encoded);
    return {status,
            valuesOf(encoded.ops),
            valuesOf(encoded.copyCounts),
            valuesOf(encoded.copyBytes),
            valuesOf(encoded.origins),
            valuesOf(encoded.rel32Indexes),
            valuesOf(encoded.abs32Indexes),
            valuesOf(encoded.rel32Rvas),
            valuesOf(encoded.abs32Rvas)};
}

TEST(DisassembledProgram, LabelsAreSharedPerRvaAndIndexedInRvaOrderPerTable)
{
    DisassembledProgram program(WIN_32_X86);
    AddressLabel* high = program.findOrMakeRel32Label(0x3000);
    AddressLabel* low = program.findOrMakeRel32Label(0x1000);
    ASSERT_EQ(program.findOrMakeRel32Label(0x3000), high);
    AddressLabel* data = program.findOrMakeAbs32Label(0x3000);
    ASSERT_NE(data, high);
    EXPECT_EQ(high->referenceCount, 2);
    EXPECT_EQ(low->index, AddressLabel::kNoIndex);

    program.assignDefaultIndexes();
    EXPECT_EQ(low->index, 0);
    EXPECT_EQ(high->index, 1);
    EXPECT_EQ(data->index, 0); // each table counts from 0
    EXPECT_EQ(high->rva, 0x3000u);
}

TEST(DisassembledProgram, EmitsRefuseMissingOperands)
{
    DisassembledProgram program;
    EXPECT_FALSE(program.emitRel32(nullptr));
    EXPECT_FALSE(program.emitAbs32(nullptr));
    EXPECT_FALSE(program.emitArmRel32(0x2000, nullptr, kImage, 2));
    EXPECT_FALSE(program.emitByteRun(nullptr, 3));
    EXPECT_EQ(program.instructionCount(), 0u);
}

// Each row emits a few instructions and states the ops, counts and bytes they encode to.
TEST(EncodeProgram, BytesCollapseIntoCopyOps)
{
    using Emit = std::function<void(DisassembledProgram*)>;
    const Emit rel32 = [](DisassembledProgram* p) { p->emitRel32(p->findOrMakeRel32Label(0x40)); };
    const Emit byteA = [](DisassembledProgram* p) { p->emitByte(0xAA); };
    const Emit byteB = [](DisassembledProgram* p) { p->emitByte(0xBB); };
    const Emit run3 = [](DisassembledProgram* p) { p->emitByteRun(kImage, 3); };
    const Emit run1 = [](DisassembledProgram* p) { p->emitByteRun(kImage, 1); };
    const Emit run0 = [](DisassembledProgram* p) { p->emitByteRun(kImage, 0); };
    const Emit origin = [](DisassembledProgram* p) { p->emitOrigin(0x500); };
    struct Row {
        const char* name;
        std::vector<Emit> emits;
        Words ops;
        Words counts;
        Bytes bytes;
    };
    const Row rows[] = {
        {"three bytes", {byteA, byteB, byteA}, {1}, {3}, {0xAA, 0xBB, 0xAA}},
        {"byte between rel32s", {rel32, byteA, rel32}, {3, 2, 3}, {}, {0xAA}},
        {"byte then run", {byteA, run3}, {1}, {4}, {0xAA, 0x10, 0x11, 0x12}},
        {"run then byte", {run3, byteA}, {1}, {4}, {0x10, 0x11, 0x12, 0xAA}},
        {"run of one", {run1}, {2}, {}, {0x10}},
        {"empty run alone", {run0}, {}, {}, {}},
        {"empty run widens a single-byte copy", {byteA, run0}, {1}, {1}, {0xAA}},
        {"origin splits copies", {byteA, origin, byteB}, {2, 0, 2}, {}, {0xAA, 0xBB}},
        {"rel32 splits runs", {run3, rel32, run3}, {1, 3, 1}, {3, 3},
         {0x10, 0x11, 0x12, 0x10, 0x11, 0x12}},
    };
    for (const Row& row : rows) {
        DisassembledProgram program(EXE_ELF_32_X86);
        for (const Emit& emit : row.emits)
            emit(&program);
        program.assignDefaultIndexes();
        const Encoded e = encode(program);
        ASSERT_EQ(e.status, STATUS_OK) << row.name;
        EXPECT_EQ(e.ops, row.ops) << row.name;
        EXPECT_EQ(e.copyCounts, row.counts) << row.name;
        EXPECT_EQ(e.copyBytes, row.bytes) << row.name;
    }
}

TEST(EncodeProgram, ReferencesOriginsAndMarkers)
{
    struct Row {
        ExecutableKind kind;
        uint32_t peOp;
    };
    for (const Row row : {Row{WIN_32_X86, 5}, Row{WIN_32_X64, 8}, Row{EXE_ELF_32_X86, 8}}) {
        DisassembledProgram program(row.kind);
        program.setImageBase(0x123400000000ull);
        program.emitOrigin(0x1000);
        program.emitRel32(program.findOrMakeRel32Label(0x2000));
        program.emitAbs32(program.findOrMakeAbs32Label(0x30));
        program.emitArmRel32(0x201C, program.findOrMakeRel32Label(0x1800), kImage, 2);
        program.emitAbs32(program.findOrMakeAbs32Label(0x10));
        program.emitPeRelocationTable();
        program.emitElfRelocationTable();
        program.emitElfArmRelocationTable();
        program.assignDefaultIndexes();

        EncodedProgram encoded;
        ASSERT_EQ(EncodeProgram(program, &encoded), STATUS_OK);
        EXPECT_EQ(encoded.imageBase, 0x123400000000ull);
        EXPECT_EQ(valuesOf(encoded.ops), (Words{0, 3, 4, 0x201C, 4, row.peOp, 6, 7}));
        EXPECT_EQ(valuesOf(encoded.origins), Words{0x1000});
        EXPECT_EQ(valuesOf(encoded.rel32Indexes), (Words{1, 0}));
        EXPECT_EQ(valuesOf(encoded.abs32Indexes), (Words{1, 0}));
        EXPECT_EQ(valuesOf(encoded.rel32Rvas), (Words{0x1800, 0x2000}));
        EXPECT_EQ(valuesOf(encoded.abs32Rvas), (Words{0x10, 0x30}));
    }
}

TEST(EncodeProgram, IndexGapsRepeatThePreviousRva)
{
    struct Row {
        std::vector<std::pair<uint32_t, int32_t>> labels; // RVA, index
        Words rvas;
    };
    const Row rows[] = {
        {{{0x100, 0}, {0x300, 2}}, {0x100, 0x100, 0x300}},
        {{{0x300, 3}, {0x100, 1}}, {0, 0x100, 0x100, 0x300}}, // a leading gap is 0
        {{{0xFFFFFFFF, 1}, {0x20, 0}}, {0x20, 0x20}}, // the filler value itself is replaced
        {{}, {}},
    };
    for (const Row& row : rows) {
        DisassembledProgram program(WIN_32_X86);
        for (const auto& label : row.labels)
            program.findOrMakeAbs32Label(label.first)->index = label.second;
        const Encoded e = encode(program);
        ASSERT_EQ(e.status, STATUS_OK);
        EXPECT_EQ(e.abs32Rvas, row.rvas);
        EXPECT_TRUE(e.rel32Rvas.empty());
    }
}

TEST(EncodeProgram, LabelWithoutIndexFails)
{
    DisassembledProgram program(WIN_32_X86);
    program.findOrMakeRel32Label(0x100);
    EncodedProgram encoded;
    EXPECT_EQ(EncodeProgram(program, &encoded), STATUS_GENERAL_ERROR);
}

// ARM program whose first label is used `uses` times and whose second is used six times.
void emitArmBranches(DisassembledProgram* program, int uses)
{
    for (int i = 0; i < uses; ++i)
        program->emitArmRel32(0x201C, program->findOrMakeRel32Label(0x100), kImage, 2);
    for (int i = 0; i < 6; ++i)
        program->emitArmRel32(0x30EB, program->findOrMakeRel32Label(0x200), kImage + 4, 4);
    program->assignDefaultIndexes();
}

TEST(TrimLabels, ArmLabelsNeedMoreThanFiveReferences)
{
    for (int uses : {1, 5, 6}) {
        DisassembledProgram program(ELF_32_ARM);
        emitArmBranches(&program, uses);
        CapturedLog log;
        ASSERT_EQ(program.trimLabels(), STATUS_OK);
        EXPECT_EQ(log.messages(LogLevel_DEBUG), std::vector<std::string>{"TrimLabels: threshold 5"});
        const bool kept = uses > DisassembledProgram::kTrimThreshold;
        EXPECT_EQ(program.rel32Labels().count(0x100), kept ? 1u : 0u) << uses;
        EXPECT_EQ(program.rel32Labels().count(0x200), 1u);

        const Encoded e = encode(program);
        ASSERT_EQ(e.status, STATUS_OK);
        // The survivors keep their indexes; a dropped label leaves a gap filled by repetition.
        EXPECT_EQ(e.rel32Rvas, (kept ? Words{0x100, 0x200} : Words{0, 0x200})) << uses;
        if (kept)
            continue;
        Words ops{1};
        ops.insert(ops.end(), 6, 0x30EB);
        EXPECT_EQ(e.ops, ops) << uses;
        EXPECT_EQ(e.copyCounts, Words{2u * uses}) << uses;
        ASSERT_EQ(e.copyBytes.size(), 2u * uses);
        EXPECT_EQ(e.copyBytes[0], kImage[0]);
        EXPECT_EQ(e.copyBytes[1], kImage[1]);
    }
}

TEST(TrimLabels, OtherKindsAreUntouched)
{
    for (ExecutableKind kind : {WIN_32_X86, EXE_ELF_32_X86, WIN_32_X64, ELF_64_X64, MACHO_X86,
                                MACHO_X64, UNKNOWN}) {
        DisassembledProgram program(kind);
        emitArmBranches(&program, 1);
        CapturedLog log;
        EXPECT_EQ(program.trimLabels(), STATUS_OK);
        EXPECT_TRUE(log.entries().empty());
        EXPECT_EQ(program.rel32Labels().size(), 2u) << ExecutableKindName(kind);
        EXPECT_EQ(program.instruction(0).kind(), INSTRUCTION_ARM_REL32);
    }
}

TEST(TrimLabels, BranchWithoutBytesFails)
{
    DisassembledProgram program(ELF_32_ARM);
    program.emitArmRel32(0x201C, program.findOrMakeRel32Label(0x100), kImage, 0);
    program.assignDefaultIndexes();
    EXPECT_EQ(program.trimLabels(), STATUS_TRIM_FAILED);
}

// A plain rel32 may still point at a label that trimming dropped; it must stay usable.
TEST(TrimLabels, DroppedLabelsOutliveTheirInstructions)
{
    DisassembledProgram program(ELF_32_ARM);
    program.emitRel32(program.findOrMakeRel32Label(0x100));
    program.emitRel32(program.findOrMakeRel32Label(0x200));
    program.assignDefaultIndexes();
    ASSERT_EQ(program.trimLabels(), STATUS_OK);
    EXPECT_TRUE(program.rel32Labels().empty());
    const Encoded e = encode(program);
    ASSERT_EQ(e.status, STATUS_OK);
    EXPECT_EQ(e.rel32Indexes, (Words{0, 1}));
    EXPECT_TRUE(e.rel32Rvas.empty());
}

TEST(PatchStatusNames, NamesAsPrinted)
{
    EXPECT_STREQ(PatchStatusName(STATUS_BAD_CRC), "STATUS_BAD_CRC");
    EXPECT_STREQ(PatchStatusName(STATUS_TRIM_FAILED), "STATUS_TRIM_FAILED");
    EXPECT_STREQ(PatchStatusName(9), "STATUS_UNKNOWN");
    const char* kinds[] = {"UNKNOWN",    "WIN_32_X86", "EXE_ELF_32_X86", "ELF_32_ARM",
                           "WIN_32_X64", "ELF_64_X64", "MACHO_X86",      "MACHO_X64"};
    for (int32_t kind = 0; kind < 8; ++kind)
        EXPECT_STREQ(ExecutableKindName(kind), kinds[kind]);
    EXPECT_STREQ(ExecutableKindName(8), "UNKNOWN");
}

} // namespace
} // namespace deltapatch
