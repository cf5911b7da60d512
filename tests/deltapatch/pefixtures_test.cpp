// Tests of the PE parsers on DLLs linked at build time (PE32 and PE32+, two versions each):
// detection, byte-exact reassembly, the executable-aware container and ensemble patches.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "capturedlog.h"
#include "deltapatch/container.h"
#include "deltapatch/disassembler_win32_x64.h"
#include "deltapatch/disassembler_win32_x86.h"
#include "deltapatch/ensemble.h"
#include "deltapatch/ensemblegenerator.h"
#include "deltapatch/executabledetection.h"
#include "deltapatch/lzma2blob.h"
#include "machotesthelpers.h"
#include "testfiles.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Bytes = std::vector<uint8_t>;

std::string fixturePath(const std::string& name)
{
    return std::string(OV3_BINARY_DIR) + "/tests/deltapatch/pe_fixtures/" + name;
}

struct FixtureRow {
    const char* name;
    ExecutableKind kind;
    const char* detected;
};

const FixtureRow kFixtures[] = {
    {"lib_i686_v1.dll", WIN_32_X86, "detected WIN_32_X86"},
    {"lib_i686_v2.dll", WIN_32_X86, "detected WIN_32_X86"},
    {"lib_x86_64_v1.dll", WIN_32_X64, "detected WIN_32_X64"},
    {"lib_x86_64_v2.dll", WIN_32_X64, "detected WIN_32_X64"},
};

size_t countOf(const DisassembledProgram& program, InstructionKind kind)
{
    size_t count = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        count += program.instruction(i).kind() == kind;
    return count;
}

// The linker writes its relocation table sorted by page and place and padded the way assembly
// regenerates it, so the whole DLL comes back byte for byte.
TEST(PeFixtures, DllsAreDetectedAndReassembledByteForByte)
{
    for (const FixtureRow& row : kFixtures) {
        SCOPED_TRACE(row.name);
        const Bytes image = readFile(fixturePath(row.name));
        ASSERT_FALSE(image.empty()) << "missing fixture";
        ExecutableKind kind = UNKNOWN;
        size_t length = 0;
        ASSERT_EQ(DetectExecutable(image.data(), image.size(), &kind, &length), STATUS_OK);
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(length, image.size());

        std::unique_ptr<DisassembledProgram> program;
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), STATUS_OK);
        EXPECT_EQ(countOf(*program, INSTRUCTION_PE_RELOCS), 1u);
        EXPECT_GE(countOf(*program, INSTRUCTION_ABS32), 10u); // pointers, callbacks, names
        EXPECT_GE(countOf(*program, INSTRUCTION_REL32), 3u);  // calls between the functions
        EXPECT_TRUE(reassemble(program.get()) == image);
    }
}

TEST(PeFixtures, EachParserTakesOnlyItsOwnWidth)
{
    const Bytes pe32 = readFile(fixturePath("lib_i686_v1.dll"));
    const Bytes pe64 = readFile(fixturePath("lib_x86_64_v1.dll"));
    ASSERT_FALSE(pe32.empty() || pe64.empty()) << "missing fixture";
    DisassemblerWin32X86 x86on64(pe64.data(), pe64.size());
    EXPECT_FALSE(x86on64.parseHeader());
    EXPECT_STREQ(x86on64.failureReason(),
                 "64 bit executables are not supported by this disassembler");
    DisassemblerWin32X64 x64on32(pe32.data(), pe32.size());
    EXPECT_FALSE(x64on32.parseHeader());
    EXPECT_STREQ(x64on32.failureReason(),
                 "32 bit executables are not supported by this disassembler");
    DisassemblerWin32X64 x64(pe64.data(), pe64.size());
    EXPECT_TRUE(x64.parseHeader());
}

// The patcher count at the start of the patch body, or -1 when the patch does not read.
int64_t patcherCount(const ByteSink& patch)
{
    ByteSource source(patch.data(), patch.length());
    uint32_t field = 0;
    for (int i = 0; i < 5; ++i) { // magic, version, checksums, size prediction
        if (!source.readVarint32(&field))
            return -1;
    }
    ByteSink body;
    ByteSourceSet streams;
    uint32_t count = 0;
    if (!ReadLzma2Blob(&source, &body) || !streams.init(body.data(), body.length()) ||
        !streams.stream(0)->readVarint32(&count))
        return -1;
    return count;
}

class PeFiles : public TempDirTest {};

TEST_F(PeFiles, ContainerPacksDllsAsProgramsAndUnpacksThemExactly)
{
    for (const FixtureRow& row : kFixtures) {
        SCOPED_TRACE(row.name);
        const Bytes file = readFile(fixturePath(row.name));
        ASSERT_FALSE(file.empty()) << "missing fixture";
        // A certificate-like tail after the last section goes through the container's diff.
        Bytes withTail = file;
        withTail.insert(withTail.end(), {0x30, 0x82, 0x01, 0x00, 0xAA});
        for (const Bytes& input : {file, withTail}) {
            writeFile(path("input"), input);
            CapturedLog log;
            ASSERT_TRUE(PackContainer(path("input").c_str(), path("packed").c_str(), true));
            EXPECT_EQ(log.messages(LogLevel_DEBUG), std::vector<std::string>{row.detected});
            EXPECT_TRUE(log.messages(LogLevel_ERROR).empty());
            ASSERT_TRUE(UnpackContainer(path("packed").c_str(), path("unpacked").c_str()));
            EXPECT_TRUE(readFile(path("unpacked")) == input);
        }
    }
}

TEST_F(PeFiles, EnsemblePatchesTurnOneVersionIntoTheOther)
{
    const struct {
        const char* from;
        const char* to;
    } rows[] = {
        {"lib_i686_v1.dll", "lib_i686_v2.dll"},
        {"lib_x86_64_v1.dll", "lib_x86_64_v2.dll"},
        {"lib_x86_64_v2.dll", "lib_x86_64_v1.dll"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.from);
        const Bytes from = readFile(fixturePath(row.from));
        const Bytes to = readFile(fixturePath(row.to));
        ASSERT_FALSE(from.empty() || to.empty()) << "missing fixture";
        // The DLLs are so small that the plain form may win; damaging it makes the generator
        // settle for the executable-aware form, which is the one under test.
        EnsembleGeneratorOptions options;
        options.beforeVerify = [](ByteSink* candidate, bool executableAware) {
            if (!executableAware)
                candidate->data()[candidate->length() - 1] ^= 0x40;
        };
        ByteSink patch;
        ASSERT_EQ(GenerateEnsemblePatch(ByteSource(from.data(), from.size()),
                                        ByteSource(to.data(), to.size()), &patch, options),
                  STATUS_OK);
        EXPECT_EQ(patcherCount(patch), 1); // the executable-aware form
        writeFile(path("patch"), Bytes(patch.data(), patch.data() + patch.length()));
        ASSERT_EQ(ApplyEnsemblePatchFiles(fixturePath(row.from).c_str(), path("patch").c_str(),
                                          path("new").c_str()),
                  STATUS_OK);
        EXPECT_TRUE(readFile(path("new")) == to);
    }
}

} // namespace
} // namespace deltapatch
