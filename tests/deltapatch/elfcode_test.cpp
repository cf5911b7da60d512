// Tests of the ELF code scanners: x86 and x86-64 displacements, the five ARM/Thumb-2 branch
// forms with the aligned flag, and trimming of rarely used ARM labels.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "deltapatch/disassembler_elf32_arm.h"
#include "deltapatch/disassembler_elf32_x86.h"
#include "deltapatch/disassembler_elf64_x64.h"
#include "deltapatch/elfbranch.h"
#include "deltapatch/encodedprogram.h"
#include "elfbuilder.h"
#include "machotesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kProgBits = 1;
constexpr uint32_t kFar = 0x7FFFFFF0; // a displacement that leaves every segment

struct Code {
    Bytes image;
    uint32_t text; // RVA (and file offset) of the code section
    std::unique_ptr<Disassembler> parser;
    std::unique_ptr<DisassembledProgram> program;
};

// Builds an image with `code` (padded) as its only program-bits section and disassembles it.
std::unique_ptr<Code> disassembleCode(uint16_t machine, bool is64, const Bytes& code)
{
    auto out = std::make_unique<Code>();
    ElfImageSpec plan;
    plan.is64 = is64;
    plan.machine = machine;
    Bytes padded = code;
    padded.resize(code.size() + 8, 0);
    plan.sections = {{kProgBits, padded}};
    const BuiltElf built = BuildElf(plan);
    out->image = built.bytes;
    out->text = uint32_t(built.offsets[0]);
    const uint8_t* data = out->image.data();
    const size_t size = out->image.size();
    if (machine == 40)
        out->parser = std::make_unique<DisassemblerElf32ARM>(data, size);
    else if (is64)
        out->parser = std::make_unique<DisassemblerElf64X64>(data, size);
    else
        out->parser = std::make_unique<DisassemblerElf32X86>(data, size);
    EXPECT_TRUE(out->parser->parseHeader());
    out->program = std::make_unique<DisassembledProgram>(out->parser->kind());
    EXPECT_TRUE(out->parser->disassemble(out->program.get()));
    return out;
}

Bytes withDisplacement(Bytes opcode, uint32_t displacement)
{
    for (int i = 0; i < 4; ++i)
        opcode.push_back(uint8_t(displacement >> (8 * i)));
    return opcode;
}

Bytes concat2(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

size_t armBranchesOf(const DisassembledProgram& program)
{
    size_t n = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        n += program.instruction(i).kind() == INSTRUCTION_ARM_REL32;
    return n;
}

// Encodes and assembles without trimming, so that every ARM branch is rebuilt by the encoder.
Bytes assembleUntrimmed(const DisassembledProgram& program)
{
    EncodedProgram encoded;
    ByteSink assembled;
    if (EncodeProgram(program, &encoded) != STATUS_OK ||
        AssembleProgram(encoded, &assembled) != STATUS_OK)
        return {};
    return Bytes(assembled.data(), assembled.data() + assembled.length());
}

TEST(ElfX86Scanner, FindsTheDisplacementsOfEachForm)
{
    struct Row {
        const char* name;
        Bytes code;
        std::vector<uint32_t> x86; // field positions found by the 32-bit scanner
        std::vector<uint32_t> x64; // and by the 64-bit one
    };
    const std::vector<Row> rows = {
        {"call", withDisplacement({0xE8}, 0), {1}, {1}},
        {"jmp", withDisplacement({0xE9}, 0x10), {1}, {1}},
        {"je", withDisplacement({0x0F, 0x84}, 0), {2}, {2}},
        {"jp is left out", withDisplacement({0x0F, 0x8A}, 0), {}, {}},
        {"jnp is left out", withDisplacement({0x0F, 0x8B}, 0), {}, {}},
        {"call through rip", withDisplacement({0xFF, 0x15}, 0), {}, {2}},
        {"jmp through rip", withDisplacement({0xFF, 0x25}, 0), {}, {2}},
        {"lea rip-relative", withDisplacement({0x48, 0x8D, 0x05}, 0), {}, {3}},
        {"mov r8-based rip-relative", withDisplacement({0x49, 0x8B, 0x3D}, 0), {}, {3}},
        {"lea with a displacement byte", {0x48, 0x8D, 0x45, 0x08}, {}, {}},
        // A target outside every segment: scanning resumes inside the displacement, where the
        // E8 in its first byte is a call of its own.
        {"far call then a call inside", {0xE8, 0xE8, 0, 0, 0, 0, 0x90, 0x90}, {2}, {2}},
        {"far call", withDisplacement({0xE8}, kFar), {}, {}},
        {"back to back", concat2(withDisplacement({0xE8}, 0), withDisplacement({0x0F, 0x85}, 0)),
         {1, 7}, {1, 7}},
    };
    for (const Row& row : rows) {
        for (bool is64 : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (is64 ? " (x86-64)" : " (x86)"));
            std::unique_ptr<Code> code = disassembleCode(is64 ? 62 : 3, is64, row.code);
            std::vector<uint32_t> found;
            for (const FoundRel32& rel32 : rel32sOf(*code->program)) {
                found.push_back(rel32.rva - code->text);
                const uint8_t* field = code->image.data() + rel32.rva;
                const uint32_t value = uint32_t(field[0]) | uint32_t(field[1]) << 8 |
                                       uint32_t(field[2]) << 16 | uint32_t(field[3]) << 24;
                EXPECT_EQ(rel32.target, rel32.rva + 4 + value);
            }
            EXPECT_EQ(found, is64 ? row.x64 : row.x86);
            EXPECT_EQ(reassemble(code->program.get()), code->image);
        }
    }
}

TEST(ElfX86Scanner, CodeLookalikesInSectionsThatAreNotLoadedStayBytes)
{
    // Debug information has addresses of its own: its bytes may look like calls whose RVA
    // leads into the code at another place (here just after the real call), or nowhere.
    const Bytes call = withDisplacement({0xE8}, 0);
    ElfImageSpec plan;
    plan.sections = {{kProgBits, concat2(call, Bytes(8, 0x90))},
                     {kProgBits, concat2(call, Bytes(8, 0x90))}};
    const uint64_t text = BuildElf(plan).offsets[0];
    for (uint64_t address : {text + 4, uint64_t(0x100000)}) {
        SCOPED_TRACE(address);
        BuiltElf built = BuildElf(plan);
        ElfPut(&built.bytes, built.sectionHeader(1, false) + 12, address, 4);
        DisassemblerElf32X86 parser(built.bytes.data(), built.bytes.size());
        ASSERT_TRUE(parser.parseHeader());
        DisassembledProgram program(parser.kind());
        ASSERT_TRUE(parser.disassemble(&program));
        const std::vector<FoundRel32> found = rel32sOf(program);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].rva, built.offsets[0] + 1);
        EXPECT_EQ(reassemble(&program), built.bytes);
    }
}

struct ArmRow {
    const char* name;
    Bytes code;
    uint32_t at;       // position of the branch in the code
    uint16_t opcode;   // expected ARM opcode, 0 when no branch is found
    uint32_t length;   // bytes of the instruction
    int32_t relative;  // target minus instruction RVA
};

TEST(ElfArmScanner, DecodesEveryBranchFormAndAssemblesItBack)
{
    const std::vector<ArmRow> rows = {
        {"thumb b<c>", {0x01, 0xD0}, 0, 0x10D0, 2, 6},
        {"thumb b<c> backwards", {0x00, 0xBF, 0xFE, 0xD1}, 2, 0x10D1, 2, 0},
        {"thumb b", {0x01, 0xE0}, 0, 0x201C, 2, 6},
        {"arm b", {0x01, 0x00, 0x00, 0xEA}, 0, 0x30EA, 4, 12},
        {"arm bl backwards", {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xEB}, 4, 0x30EB, 4, 4},
        {"thumb-2 bl", {0x00, 0xF0, 0x02, 0xF8}, 0, 0x44F7, 4, 8},
        {"thumb-2 blx at a halfword", {0x00, 0xBF, 0x00, 0xF0, 0x02, 0xE8}, 2, 0x42F6, 4, 6},
        {"thumb-2 b.w", {0x00, 0xF0, 0x02, 0xB8}, 0, 0x44F5, 4, 8},
        {"thumb-2 b<c>.w", {0x40, 0xF0, 0x02, 0x80}, 0, 0x5001, 4, 8},
    };
    for (const ArmRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Code> code = disassembleCode(40, false, row.code);
        const DisassembledProgram& program = *code->program;
        uint32_t rva = 0;
        bool seen = false;
        for (size_t i = 0; i < program.instructionCount(); ++i) {
            const Instruction& instruction = program.instruction(i);
            if (instruction.kind() == INSTRUCTION_ORIGIN)
                rva = instruction.value;
            if (instruction.kind() != INSTRUCTION_ARM_REL32) {
                rva += instruction.kind() == INSTRUCTION_BYTE_RUN ? instruction.value : 0;
                continue;
            }
            EXPECT_FALSE(seen);
            seen = true;
            EXPECT_EQ(rva - code->text, row.at);
            EXPECT_EQ(instruction.armOpcode, row.opcode);
            EXPECT_EQ(instruction.value, row.length);
            EXPECT_EQ(int32_t(instruction.label->rva - rva), row.relative);
            rva += instruction.value;
        }
        EXPECT_TRUE(seen);
        // The encoder rebuilds each branch from its opcode and label alone.
        EXPECT_EQ(assembleUntrimmed(program), code->image);
        // With one reference the branch is trimmed back into its own bytes.
        ASSERT_EQ(code->program->trimLabels(), STATUS_OK);
        EXPECT_EQ(armBranchesOf(program), 0u);
        EXPECT_EQ(assembleUntrimmed(program), code->image);
    }
}

TEST(ElfArmScanner, ABranchLeavingTheImageFlipsTheAlignedFlag)
{
    const Bytes armBranch = {0x01, 0x00, 0x00, 0xEA};
    // Aligned: the ARM word is a branch.
    std::unique_ptr<Code> aligned = disassembleCode(40, false, armBranch);
    EXPECT_EQ(armBranchesOf(*aligned->program), 1u);
    // A Thumb b whose target leaves the image: its bytes stay, and the ARM word right after it
    // sits where the flag says "not aligned".
    Bytes code = {0xFF, 0xE3};
    code.insert(code.end(), armBranch.begin(), armBranch.end());
    std::unique_ptr<Code> flipped = disassembleCode(40, false, code);
    EXPECT_EQ(armBranchesOf(*flipped->program), 0u);
    EXPECT_EQ(reassemble(flipped->program.get()), flipped->image);
}

TEST(ElfArmTrimming, KeepsOnlyLabelsWithMoreThanFiveReferences)
{
    // Six Thumb branches to one place, five to another, in turns: each trimmed branch must get
    // back its own bytes.
    Bytes code;
    for (int i = 0; i < 11; ++i) {
        const int target = i % 2 == 0 ? 11 : 12; // halfword index of the target
        const int offset = (target - i) * 2 - 4;
        code.push_back(uint8_t((offset >> 1) & 0xFF));
        code.push_back(uint8_t(0xE0 | ((offset >> 9) & 0x7)));
    }
    code.insert(code.end(), {0x00, 0xBF, 0x00, 0xBF});
    std::unique_ptr<Code> program = disassembleCode(40, false, code);
    DisassembledProgram& p = *program->program;
    EXPECT_EQ(p.rel32Labels().size(), 2u);
    EXPECT_EQ(armBranchesOf(p), 11u);
    ASSERT_EQ(p.trimLabels(), STATUS_OK);
    ASSERT_EQ(p.rel32Labels().size(), 1u);
    EXPECT_EQ(p.rel32Labels().begin()->second.referenceCount, 6);
    EXPECT_EQ(armBranchesOf(p), 6u);
    EXPECT_EQ(assembleUntrimmed(p), program->image);
    // Trimming again changes nothing.
    ASSERT_EQ(p.trimLabels(), STATUS_OK);
    EXPECT_EQ(armBranchesOf(p), 6u);
    EXPECT_EQ(assembleUntrimmed(p), program->image);
}

// Branch records keep their fields, 40-bit file offsets included, through dropping the last
// one, filtering and both sorts; an offset beyond 40 bits is refused.
TEST(ElfBranchList, KeepsRecordsThroughFilteringAndSorting)
{
    constexpr uint32_t kCount = 150000;
    constexpr uint64_t kHigh = uint64_t(0xAB) << 32; // offsets need the top byte
    ElfBranchList list;
    for (uint32_t i = 0; i < kCount; ++i) {
        const ElfBranchForm form = ElfBranchForm(i % 6);
        const uint64_t offset = kHigh + (kCount - i) * 4;
        ASSERT_TRUE(list.add(ElfBranch(form, i, 0x10000 - i, uint16_t(i)), offset));
        if (i % 3 == 0)
            list.dropLast();
    }
    ASSERT_EQ(list.size(), size_t(kCount - kCount / 3));
    EXPECT_FALSE(list.ascendingInFile());
    list.keepOnly([](const ElfBranch& branch) { return branch.rva() % 2 == 0; });
    list.sortByFileOffset();
    EXPECT_TRUE(list.ascendingInFile());
    for (size_t i = 0; i < list.size(); ++i) {
        const ElfBranch& branch = list[i];
        ASSERT_EQ(branch.rva() % 2, 0u);
        ASSERT_NE(branch.rva() % 3, 0u);
        EXPECT_EQ(branch.fileOffset(), kHigh + (kCount - branch.rva()) * 4);
        EXPECT_EQ(branch.target(), 0x10000u);
        EXPECT_EQ(branch.form(), ElfBranchForm(branch.rva() % 6));
        EXPECT_EQ(branch.instructionSize(), branch.form() <= ELF_BRANCH_ARM_THUMB_B ? 2u : 4u);
        EXPECT_EQ(branch.armOpcode(), uint16_t(branch.rva()));
    }
    list.sortByRva();
    for (size_t i = 1; i < list.size(); ++i)
        ASSERT_LT(list[i - 1].rva(), list[i].rva());
    const size_t before = list.size();
    EXPECT_FALSE(list.add(ElfBranch(), ElfBranch::kMaxFileOffset + 1));
    EXPECT_EQ(list.size(), before);
}

} // namespace
} // namespace deltapatch
