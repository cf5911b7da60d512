// Tests of the Mach-O parser and the executable-aware container on linked images: x86-64
// executables and dylibs, synthetic 32-bit images and universal files pairing the two.
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
#include "deltapatch/executabledetection.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/programsource.h"
#include "machotesthelpers.h"
#include "testfiles.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Bytes = std::vector<uint8_t>;

std::string fixturePath(const std::string& name)
{
    return std::string(OV3_BINARY_DIR) + "/tests/deltapatch/macho_fixtures/" + name;
}

uint32_t bigEndian32(const Bytes& bytes, size_t at)
{
    return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
           uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
}

Bytes prefix(const Bytes& bytes, size_t offset, size_t length)
{
    return Bytes(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
}

struct Slice {
    size_t offset;
    size_t size;
};

// The slices a universal file lists, or the whole file for a thin one.
std::vector<Slice> slicesOf(const Bytes& file)
{
    if (bigEndian32(file, 0) != 0xCAFEBABE)
        return {{0, file.size()}};
    std::vector<Slice> slices;
    for (uint32_t i = 0; i < bigEndian32(file, 4); ++i)
        slices.push_back({bigEndian32(file, 8 + 20 * i + 8), bigEndian32(file, 8 + 20 * i + 12)});
    return slices;
}

TEST(MachoFixtures, ThinImagesAreDetectedAndReassembledByteForByte)
{
    // __LINKEDIT has no sections, so a 64-bit image ends with the last segment that has some;
    // the 32-bit images keep every segment.
    const struct {
        const char* name;
        ExecutableKind kind;
        size_t minRel32s;
        bool wholeFile;
    } rows[] = {
        {"app_v1", MACHO_X64, 15, false},
        {"app_v2", MACHO_X64, 15, false},
        {"libfixture_v1.dylib", MACHO_X64, 5, false},
        {"libfixture_v2.dylib", MACHO_X64, 5, false},
        {"i386_v1", MACHO_X86, 12, true}, // a call and a je in each of six functions
        {"i386_v2", MACHO_X86, 14, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes image = readFile(fixturePath(row.name));
        ASSERT_FALSE(image.empty()) << "missing fixture";
        ExecutableKind kind = UNKNOWN;
        size_t length = 0;
        ASSERT_EQ(DetectExecutable(image.data(), image.size(), &kind, &length), STATUS_OK);
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(length == image.size(), row.wholeFile);
        ASSERT_LE(length, image.size());

        std::unique_ptr<DisassembledProgram> program;
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), STATUS_OK);
        EXPECT_GE(rel32sOf(*program).size(), row.minRel32s);
        // No abs32 references or relocation tables: the assembly is the image itself.
        EXPECT_TRUE(program->abs32Labels().empty());
        EXPECT_TRUE(reassemble(program.get()) == prefix(image, 0, length));
    }
    const Bytes universal = readFile(fixturePath("universal_v1"));
    ExecutableKind kind = MACHO_X64;
    size_t length = 1;
    EXPECT_EQ(DetectExecutable(universal.data(), universal.size(), &kind, &length),
              STATUS_INPUT_NOT_RECOGNIZED);
}

class MachoContainer : public TempDirTest {};

// Reads a packed container's header and payload; the payload's streams stay in `payload`.
void readDisAndDiff(const Bytes& packed, ByteSink* payload, uint32_t* directive)
{
    ByteSource source(packed.data(), packed.size());
    uint32_t magic = 0;
    uint32_t checksum = 0;
    ASSERT_TRUE(source.readVarint32(&magic) && source.readVarint32(&checksum) &&
                source.readVarint32(directive));
    EXPECT_EQ(magic, kContainerMagic);
    if (*directive == DIRECTIVE_DIS_AND_DIFF) {
        ASSERT_TRUE(ReadLzma2Blob(&source, payload));
    }
}

TEST_F(MachoContainer, PacksExecutablesAsProgramsAndUnpacksThemExactly)
{
    const struct {
        const char* name;
        std::vector<std::string> detected;
    } rows[] = {
        {"app_v1", {"detected MACHO_X64"}},
        {"libfixture_v2.dylib", {"detected MACHO_X64"}},
        {"i386_v1", {"detected MACHO_X86"}},
        {"universal_v1", {"detected MACHO_X64", "detected MACHO_X86"}},
        {"universal_v2", {"detected MACHO_X64", "detected MACHO_X86"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes file = readFile(fixturePath(row.name));
        ASSERT_FALSE(file.empty()) << "missing fixture";
        CapturedLog log;
        ASSERT_TRUE(PackContainer(fixturePath(row.name).c_str(), path("packed").c_str(), true));
        EXPECT_EQ(log.messages(LogLevel_DEBUG), row.detected);
        EXPECT_TRUE(log.messages(LogLevel_ERROR).empty());

        ByteSink payload;
        uint32_t directive = 0;
        readDisAndDiff(readFile(path("packed")), &payload, &directive);
        ASSERT_EQ(directive, uint32_t(DIRECTIVE_DIS_AND_DIFF));
        // One program source per slice, in slice order, then the diff.
        ByteSourceSet outer;
        ASSERT_TRUE(outer.init(payload.data(), payload.length()));
        const std::vector<Slice> slices = slicesOf(file);
        ASSERT_EQ(outer.count(), slices.size() + 1);
        for (size_t i = 0; i < slices.size(); ++i) {
            ByteSourceSet program;
            ASSERT_TRUE(program.init(*outer.stream(i)));
            ByteSink assembled;
            ASSERT_TRUE(AssembleProgramSource(&program, &assembled));
            ExecutableKind kind = UNKNOWN;
            size_t length = 0;
            ASSERT_EQ(DetectExecutable(file.data() + slices[i].offset, slices[i].size, &kind,
                                       &length),
                      STATUS_OK);
            EXPECT_TRUE(Bytes(assembled.data(), assembled.data() + assembled.length()) ==
                        prefix(file, slices[i].offset, length));
        }

        ASSERT_TRUE(UnpackContainer(path("packed").c_str(), path("unpacked").c_str()));
        EXPECT_TRUE(readFile(path("unpacked")) == file);
    }
}

} // namespace
} // namespace deltapatch
