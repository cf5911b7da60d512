// Tests of the compressed file container: packing, unpacking, its failures and the discovery
// of executable elements.
#include "deltapatch/container.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "capturedlog.h"
#include "deltapatch/checksum.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/programelements.h"
#include "testfiles.h"

namespace deltapatch {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

Bytes bytesOf(const ByteSink& sink)
{
    return Bytes(sink.data(), sink.data() + sink.length());
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes varints(std::initializer_list<uint32_t> values)
{
    ByteSink sink;
    for (uint32_t v : values)
        sink.writeVarint32(v);
    return bytesOf(sink);
}

Bytes blobOf(const Bytes& data)
{
    ByteSink sink;
    EXPECT_TRUE(WriteLzma2Blob(data.data(), data.size(), &sink));
    return bytesOf(sink);
}

Bytes containerOf(uint32_t directive, const Bytes& content, const Bytes& payload)
{
    return varints({kContainerMagic, ContentChecksum(content.data(), content.size()), directive}) +
           payload;
}

// A serialised stream set that declares exactly these streams.
Bytes streamSet(const std::vector<Bytes>& streams)
{
    Bytes out = varints({kStreamSetMagic, static_cast<uint32_t>(streams.size())});
    for (const Bytes& s : streams)
        out = out + varints({static_cast<uint32_t>(s.size())});
    for (const Bytes& s : streams)
        out = out + s;
    return out;
}

Bytes sampleContent(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>((i * 7919) >> (i % 13));
    return out;
}

class ContainerTest : public testing::TempDirTest {
protected:
    std::string writeFile(const std::string& name, const Bytes& data) const
    {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        return path(name);
    }

    std::optional<Bytes> readFile(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        if (!in)
            return std::nullopt;
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(ContainerTest, PackThenUnpackRestoresTheFile)
{
    const Bytes contents[] = {{0x42}, sampleContent(1000), sampleContent(300000)};
    for (const Bytes& content : contents) {
        for (bool tryDisassembly : {false, true}) {
            SCOPED_TRACE(std::to_string(content.size()) + " bytes, tryDisassembly " +
                         std::to_string(tryDisassembly));
            CapturedLog log;
            const std::string in = writeFile("in", content);
            ASSERT_TRUE(PackContainer(in.c_str(), path("packed").c_str(), tryDisassembly));
            // Nothing is recognised as an executable yet, so both ways write the plain form.
            const Bytes packed = *readFile("packed");
            const Bytes header = containerOf(DIRECTIVE_PLAIN, content, {});
            ASSERT_GT(packed.size(), header.size());
            EXPECT_EQ(Bytes(packed.begin(), packed.begin() + long(header.size())), header);
            EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 4), (Bytes{0xE9, 0xAE, 0xA8, 0x3F}));

            ASSERT_TRUE(UnpackContainer(path("packed").c_str(), path("out").c_str()));
            EXPECT_TRUE(*readFile("out") == content);
            EXPECT_TRUE(log.messages().empty());
        }
    }
}

TEST_F(ContainerTest, TrailingBytesAreIgnored)
{
    const Bytes content = sampleContent(5000);
    writeFile("in", containerOf(DIRECTIVE_PLAIN, content, blobOf(content)) + Bytes{1, 2, 3, 0});
    ASSERT_TRUE(UnpackContainer(path("in").c_str(), path("out").c_str()));
    EXPECT_TRUE(*readFile("out") == content);
}

TEST_F(ContainerTest, FailedUnpackLeavesNoOutput)
{
    const Bytes content = sampleContent(2000);
    const Bytes blob = blobOf(content);
    Bytes longerThanStream = blob;
    longerThanStream[1] += 1; // the low group of the size varint: one byte more than the stream
    const Bytes emptySet = streamSet(std::vector<Bytes>(10));
    const struct {
        const char* name;
        std::optional<Bytes> file;
        Messages messages;
    } rows[] = {
        {"missing file", std::nullopt, {"could not open lzma file"}},
        {"empty file", Bytes{}, {"could not open lzma file"}},
        {"header cut short", Bytes{0xE9, 0xAE, 0xA8, 0x3F, 0x05}, {"could not read lzma header"}},
        {"wrong magic", varints({kContainerMagic + 1, 0, 1}) + blob, {"not lzma file"}},
        {"directive 0", containerOf(0, content, blob), {"Unknown preprocessing dirrective"}},
        {"directive 3", containerOf(3, content, blob), {"Unknown preprocessing dirrective"}},
        {"directive 1000", containerOf(1000, content, blob), {"Unknown preprocessing dirrective"}},
        {"no payload", containerOf(1, content, {}),
         {"Error read LZMA2 properties", "could not decompress file"}},
        {"stream shorter than declared", containerOf(1, content, longerThanStream),
         {"Error uncompressing data 0", "could not decompress file"}},
        {"flipped checksum bit",
         varints({kContainerMagic, ContentChecksum(content.data(), content.size()) ^ 0x100, 1}) +
             blob,
         {"crc mismatch"}},
        {"executable-aware, no payload", containerOf(2, content, {}),
         {"Error read LZMA2 properties", "could not decompress file"}},
        {"executable-aware, not a set", containerOf(2, content, blobOf({1, 2, 3})),
         {"could not init dif_and_dis set"}},
        {"executable-aware, no stream", containerOf(2, content, blobOf(streamSet({}))),
         {"dis_and_diff too small"}},
        {"executable-aware, diff only", containerOf(2, content, blobOf(streamSet({Bytes{0}}))),
         {"dis_and_diff too small"}},
        {"program source not a set",
         containerOf(2, content, blobOf(streamSet({Bytes{1, 2}, Bytes{0}}))),
         {"could not init program_source set"}},
        {"program source without a program",
         containerOf(2, content, blobOf(streamSet({emptySet, Bytes{0}}))),
         {"could not read encoded program"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(path("in"));
        if (row.file)
            writeFile("in", *row.file);
        CapturedLog log;
        EXPECT_FALSE(UnpackContainer(path("in").c_str(), path("out").c_str()));
        EXPECT_EQ(log.messages(), row.messages);
        EXPECT_FALSE(fs::exists(path("out")));
    }
}

TEST_F(ContainerTest, UnwritableOutputFails)
{
    const Bytes content = sampleContent(100);
    writeFile("plain", content);
    writeFile("packed", containerOf(DIRECTIVE_PLAIN, content, blobOf(content)));
    const std::string missingDir = path("no/such/dir/out");
    CapturedLog log;
    EXPECT_FALSE(UnpackContainer(path("packed").c_str(), missingDir.c_str()));
    EXPECT_FALSE(PackContainer(path("plain").c_str(), missingDir.c_str(), false));
    EXPECT_FALSE(PackContainer(path("missing").c_str(), path("out").c_str(), false));
    EXPECT_EQ(log.messages(), (Messages{"could not write output file", "could not write output file",
                                        "could not open file"}));
    EXPECT_FALSE(fs::exists(path("out")));
}

// Runs in a child process: the file size limit stands in for a full disk.
[[noreturn]] void unpackWithFileSizeLimit(const std::string& in, const std::string& out)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{65536, 65536};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(UnpackContainer(in.c_str(), out.c_str()) ? 0 : 3);
}

// A file cut short by a full disk must not stay behind looking like a finished result.
TEST_F(ContainerTest, ShortWriteRemovesThePartialFile)
{
    const Bytes content = sampleContent(200000);
    writeFile("packed", containerOf(DIRECTIVE_PLAIN, content, blobOf(content)));
    EXPECT_EXIT(unpackWithFileSizeLimit(path("packed"), path("out")), ::testing::ExitedWithCode(3),
                "");
    EXPECT_FALSE(fs::exists(path("out")));
}

// --- element discovery -----------------------------------------------------------------------

// The fake parser recognises ranges starting with "EX", a kind byte and a big-endian image
// length; the whole file (which starts with the universal magic) answers with `g_WholeFile`.
struct WholeFileAnswer {
    PatchStatus status;
    ExecutableKind kind;
    size_t image;
};
WholeFileAnswer g_WholeFile;
const uint8_t* g_FileStart = nullptr;

PatchStatus FakeDetect(const uint8_t* data, size_t length, ExecutableKind* kind, size_t* image)
{
    if (data == g_FileStart) {
        *kind = g_WholeFile.kind;
        *image = g_WholeFile.image;
        return g_WholeFile.status;
    }
    if (length < 7 || data[0] != 'E' || data[1] != 'X')
        return STATUS_INPUT_NOT_RECOGNIZED;
    *kind = static_cast<ExecutableKind>(data[2]);
    *image = size_t(data[3]) << 24 | size_t(data[4]) << 16 | size_t(data[5]) << 8 | data[6];
    return STATUS_OK;
}

void putBigEndian(Bytes* data, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*data)[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

TEST(ProgramElements, UniversalSlicesOrWholeFile)
{
    struct Slice {
        uint32_t offset;
        uint32_t size;
        ExecutableKind kind; // UNKNOWN: not an executable
        uint32_t image;      // 0: the slice size
    };
    using Element = std::tuple<size_t, size_t, int>;
    const WholeFileAnswer notRecognised{STATUS_INPUT_NOT_RECOGNIZED, UNKNOWN, 0};
    const struct {
        const char* name;
        size_t length;
        uint32_t sliceCount;
        std::vector<Slice> slices;
        WholeFileAnswer whole;
        PatchStatus status;
        std::vector<Element> elements;
    } rows[] = {
        {"two slices", 8192, 2, {{4096, 2048, MACHO_X64, 0}, {6144, 2048, MACHO_X86, 100}},
         notRecognised, STATUS_OK, {{4096, 2048, MACHO_X64}, {6144, 2048, MACHO_X86}}},
        {"unrecognised slice skipped", 8192, 2, {{4096, 2048, UNKNOWN, 0}, {6144, 2048, MACHO_X64, 0}},
         notRecognised, STATUS_OK, {{6144, 2048, MACHO_X64}}},
        {"no slice recognised", 8192, 2, {{4096, 2048, UNKNOWN, 0}, {6144, 2048, UNKNOWN, 0}},
         {STATUS_OK, ELF_64_X64, 100}, STATUS_OK, {{0, 100, ELF_64_X64}}},
        {"slice past the end stops", 8192, 2, {{4096, 2048, MACHO_X64, 0}, {6144, 2049, MACHO_X64, 0}},
         {STATUS_OK, MACHO_X64, 8192}, STATUS_OK, {{4096, 2048, MACHO_X64}, {0, 8192, MACHO_X64}}},
        {"overlap stops", 8192, 2, {{4096, 2048, MACHO_X64, 0}, {6143, 100, MACHO_X64, 0}},
         notRecognised, STATUS_INPUT_NOT_RECOGNIZED, {}},
        {"image larger than its slice stops", 8192, 1, {{4096, 2048, MACHO_X64, 2049}},
         {STATUS_OK, MACHO_X64, 50}, STATUS_OK, {{0, 50, MACHO_X64}}},
        {"more than eight slices", 8192, 9, {{4096, 2048, MACHO_X64, 0}}, notRecognised,
         STATUS_INPUT_NOT_RECOGNIZED, {}},
        {"too short for a universal file", 4095, 1, {{1024, 1024, MACHO_X64, 0}}, notRecognised,
         STATUS_INPUT_NOT_RECOGNIZED, {}},
        {"detection error", 8192, 0, {}, {STATUS_DISASSEMBLY_FAILED, UNKNOWN, 0},
         STATUS_DISASSEMBLY_FAILED, {}},
        {"image past the end of the file", 8192, 0, {}, {STATUS_OK, MACHO_X64, 8193},
         STATUS_INPUT_NOT_RECOGNIZED, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes data(row.length, 0);
        putBigEndian(&data, 0, 0xCAFEBABE);
        putBigEndian(&data, 4, row.sliceCount);
        for (size_t i = 0; i < row.slices.size(); ++i) {
            const Slice& s = row.slices[i];
            putBigEndian(&data, 8 + 20 * i + 8, s.offset);
            putBigEndian(&data, 8 + 20 * i + 12, s.size);
            if (s.kind != UNKNOWN && s.offset + 7 <= row.length) {
                data[s.offset] = 'E';
                data[s.offset + 1] = 'X';
                data[s.offset + 2] = static_cast<uint8_t>(s.kind);
                putBigEndian(&data, s.offset + 3, s.image ? s.image : s.size);
            }
        }
        g_FileStart = data.data();
        g_WholeFile = row.whole;
        ProgramElements found;
        EXPECT_EQ(FindProgramElements(data.data(), data.size(), FakeDetect, &found), row.status);
        std::vector<Element> elements;
        for (size_t i = 0; row.status == STATUS_OK && i < found.count; ++i)
            elements.emplace_back(found.items[i].offset, found.items[i].length, found.items[i].kind);
        EXPECT_EQ(elements, row.elements);
    }
}

} // namespace
} // namespace deltapatch
