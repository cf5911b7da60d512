// Checks the committed fuzz seeds of encoded programs against the generator that made them.
// The seeds are made by seedPrograms() below; set OV3_PROGRAM_SEED_DIR to write them afresh.
#include "deltapatch/disassembledprogram.h"
#include "deltapatch/encodedprogram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "programtesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;

struct Seed {
    std::string name;
    Bytes serialised;
};

Bytes serialise(const EncodedProgram& program)
{
    ByteSinkSet set;
    ByteSink out;
    if (WriteEncodedProgram(program, &set) != STATUS_OK || !set.copyToOneStream(&out))
        return {};
    return bytesOf(out);
}

Bytes serialise(const ProgramRows& rows)
{
    EncodedProgram program;
    fill(rows, &program);
    return serialise(program);
}

Bytes serialise(const DisassembledProgram& program)
{
    EncodedProgram encoded;
    if (EncodeProgram(program, &encoded) != STATUS_OK)
        return {};
    return serialise(encoded);
}

Bytes peProgram(ExecutableKind kind)
{
    static const uint8_t code[] = {0x55, 0x89, 0xE5, 0xE8, 0x90, 0x90, 0xC3};
    DisassembledProgram program(kind);
    program.setImageBase(0x400000);
    program.emitByteRun(code, 3);
    program.emitOrigin(0x1000);
    for (uint32_t i = 0; i < 12; ++i) {
        program.emitByte(0xE8);
        program.emitRel32(program.findOrMakeRel32Label(0x1400 + 0x10 * (i % 3)));
        program.emitByte(0x68);
        program.emitAbs32(program.findOrMakeAbs32Label(0x2000 + 0x800 * i));
    }
    program.emitOrigin(0x3000);
    program.emitPeRelocationTable();
    program.emitByteRun(code + 3, 4);
    program.assignDefaultIndexes();
    return serialise(program);
}

Bytes armProgram()
{
    static const uint8_t code[] = {0x05, 0xD0, 0xFE, 0xE7, 0x10, 0x00, 0x00, 0xEB,
                                   0x01, 0xF0, 0x00, 0xF8, 0x01, 0xF0, 0x00, 0x80};
    ProgramRows rows;
    rows.ops = {OP_ORIGIN, 0x10D0, 0x201C, 0x30EB, 0x44F7, 0x5000, OP_COPY, OP_ABS32,
                OP_MAKE_ELF_ARM_RELOCATION_TABLE, OP_COPY1};
    rows.origins = {0x8000};
    rows.rel32Rvas = {0x800E, 0x8002, 0x804C, 0x9010, 0x9014};
    rows.rel32Indexes = {0, 1, 2, 3, 4};
    rows.copyCounts = {4};
    rows.copyBytes = Bytes(code, code + 5);
    rows.abs32Rvas = {0x8000};
    rows.abs32Indexes = {0};
    return serialise(rows);
}

std::vector<Seed> seedPrograms()
{
    return {
        {"empty", serialise(ProgramRows())},
        {"small", serialise(smallProgram())},
        {"pe32", peProgram(WIN_32_X86)},
        {"pe64", peProgram(WIN_32_X64)},
        {"elf_arm", armProgram()},
    };
}

std::string seedDirectory()
{
    return std::string(OV3_SOURCE_DIR) + "/tests/fuzz/corpus/program";
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

PatchStatus readAndAssemble(const Bytes& serialised, Bytes* image)
{
    ByteSourceSet set;
    set.init(serialised.data(), serialised.size());
    EncodedProgram program;
    PatchStatus status = ReadEncodedProgram(&set, &program);
    if (status != STATUS_OK)
        return status;
    ByteSink out;
    status = AssembleProgram(program, &out);
    *image = bytesOf(out);
    return status;
}

TEST(ProgramSeeds, CommittedSeedsMatchTheGeneratorAndAssemble)
{
    const char* rewrite = std::getenv("OV3_PROGRAM_SEED_DIR");
    for (const Seed& seed : seedPrograms()) {
        ASSERT_FALSE(seed.serialised.empty()) << seed.name;
        if (rewrite != nullptr)
            writeFile(std::string(rewrite) + "/" + seed.name, seed.serialised);
        EXPECT_EQ(readFile(seedDirectory() + "/" + seed.name), seed.serialised) << seed.name;
        Bytes image;
        EXPECT_EQ(readAndAssemble(seed.serialised, &image), STATUS_OK) << seed.name;
    }
}

} // namespace
} // namespace deltapatch
