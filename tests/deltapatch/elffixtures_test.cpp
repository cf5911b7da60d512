// Tests of the ELF parsers on shared libraries linked at build time (x86-64, i386, ARM with
// Thumb-2 code): detection, byte-for-byte reassembly, the executable-aware container and
// ensemble patches between two versions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "deltapatch/container.h"
#include "deltapatch/ensemble.h"
#include "deltapatch/ensemblegenerator.h"
#include "deltapatch/executabledetection.h"
#include "machotesthelpers.h"
#include "testfiles.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Bytes = std::vector<uint8_t>;

std::string fixturePath(const std::string& name)
{
    return std::string(OV3_BINARY_DIR) + "/tests/deltapatch/elf_fixtures/" + name;
}

size_t countOf(const DisassembledProgram& program, InstructionKind kind)
{
    size_t n = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        n += program.instruction(i).kind() == kind;
    return n;
}

struct FixtureRow {
    const char* arch;
    ExecutableKind kind;
    InstructionKind branch;      // how scanned branches appear
    InstructionKind tableMarker; // INSTRUCTION_BYTE when relocations stay bytes
    size_t abs32s[2];            // per version: R_*_RELATIVE places in data
};

const FixtureRow kRows[] = {
    {"x64", ELF_64_X64, INSTRUCTION_REL32, INSTRUCTION_BYTE, {0, 0}},
    {"i386", EXE_ELF_32_X86, INSTRUCTION_REL32, INSTRUCTION_ELF_RELOCS, {6, 7}},
    {"arm", ELF_32_ARM, INSTRUCTION_ARM_REL32, INSTRUCTION_ELF_ARM_RELOCS, {6, 7}},
};

std::string fileName(const FixtureRow& row, int version)
{
    return std::string("lib") + row.arch + "_v" + std::to_string(version) + ".so";
}

TEST(ElfFixtures, LinkedLibrariesAreDetectedAndReassembledByteForByte)
{
    for (const FixtureRow& row : kRows) {
        for (int version : {1, 2}) {
            SCOPED_TRACE(fileName(row, version));
            const Bytes image = readFile(fixturePath(fileName(row, version)));
            ASSERT_FALSE(image.empty()) << "missing fixture";
            ExecutableKind kind = UNKNOWN;
            size_t length = 0;
            ASSERT_EQ(DetectExecutable(image.data(), image.size(), &kind, &length), STATUS_OK);
            EXPECT_EQ(kind, row.kind);
            // The section table ends the file.
            EXPECT_EQ(length, image.size());

            std::unique_ptr<DisassembledProgram> program;
            ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), STATUS_OK);
            EXPECT_GE(countOf(*program, row.branch), 10u);
            EXPECT_EQ(countOf(*program, INSTRUCTION_ABS32), row.abs32s[version - 1]);
            if (row.tableMarker != INSTRUCTION_BYTE) {
                EXPECT_EQ(countOf(*program, row.tableMarker), 1u);
            }
            // The relocation table is rebuilt from the abs32 references in place.
            EXPECT_TRUE(reassemble(program.get()) == image);
        }
    }
}

class ElfFiles : public TempDirTest {};

TEST_F(ElfFiles, ExecutableAwareContainerUnpacksExactly)
{
    for (const FixtureRow& row : kRows) {
        SCOPED_TRACE(row.arch);
        const std::string input = fixturePath(fileName(row, 2));
        ASSERT_TRUE(PackContainer(input.c_str(), path("packed").c_str(), true));
        ASSERT_TRUE(UnpackContainer(path("packed").c_str(), path("unpacked").c_str()));
        EXPECT_TRUE(readFile(path("unpacked")) == readFile(input));
    }
}

TEST_F(ElfFiles, EnsemblePatchesBetweenVersionsApplyExactly)
{
    for (const FixtureRow& row : kRows) {
        SCOPED_TRACE(row.arch);
        const Bytes old = readFile(fixturePath(fileName(row, 1)));
        const Bytes newer = readFile(fixturePath(fileName(row, 2)));
        ASSERT_FALSE(old.empty() || newer.empty()) << "missing fixture";
        bool aware = false;
        EnsembleGeneratorOptions options;
        // Small libraries diff smaller as plain bytes: spoil the plain candidate so that the
        // executable-aware one, which goes through the parsers, is the one kept.
        options.beforeVerify = [&](ByteSink* candidate, bool executableAware) {
            aware |= executableAware;
            if (!executableAware && candidate->length() > 0)
                candidate->data()[0] ^= 0xFF;
        };
        ByteSink patch;
        ASSERT_EQ(GenerateEnsemblePatch(ByteSource(old.data(), old.size()),
                                        ByteSource(newer.data(), newer.size()), &patch, options),
                  STATUS_OK);
        EXPECT_TRUE(aware);
        {
            std::ofstream out(path("patch"), std::ios::binary);
            out.write(reinterpret_cast<const char*>(patch.data()), long(patch.length()));
        }
        const std::string oldPath = fixturePath(fileName(row, 1));
        ASSERT_EQ(ApplyEnsemblePatchFiles(oldPath.c_str(), path("patch").c_str(),
                                          path("new").c_str()),
                  STATUS_OK);
        EXPECT_TRUE(readFile(path("new")) == newer);
        // The updated file is not what the patch was made for.
        const std::string newPath = path("new");
        EXPECT_EQ(ApplyEnsemblePatchFiles(newPath.c_str(), path("patch").c_str(),
                                          path("again").c_str()),
                  STATUS_BAD_CRC);
    }
}

} // namespace
} // namespace deltapatch
