// Tests of applying ensemble patches: reproduction of the new file, the status of every kind of
// damaged patch or old file, and that nothing is written under the new name unless it succeeded.
#include "deltapatch/ensemble.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/encodedprogram.h"
#include "deltapatch/executabledetection.h"
#include "deltapatch/lzma2blob.h"
#include "ensemblefuzzinput.h"
#include "machobuilder.h"
#include "testfiles.h"

namespace deltapatch {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

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

uint32_t checksumOf(const Bytes& data)
{
    return ContentChecksum(data.data(), data.size());
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

// What the applier predicts for `patchers` patchers that expect no parameters: a ten-stream
// set holding one empty nested set per patcher.
Bytes predictedSet(size_t patchers)
{
    ByteSinkSet set;
    for (size_t i = 0; i < patchers; ++i) {
        ByteSinkSet empty;
        EXPECT_TRUE(set.writeSet(&empty));
    }
    ByteSink out;
    EXPECT_TRUE(set.copyToOneStream(&out));
    return bytesOf(out);
}

Bytes diffOf(const Bytes& from, const Bytes& to)
{
    ByteSink out;
    EXPECT_TRUE(GenerateBlockDiff(ByteSource(from.data(), from.size()),
                                  ByteSource(to.data(), to.size()), &out, false, METHOD_NONE));
    return bytesOf(out);
}

Bytes blobOf(const Bytes& data)
{
    ByteSink sink;
    EXPECT_TRUE(WriteLzma2Blob(data.data(), data.size(), &sink));
    return bytesOf(sink);
}

Bytes sampleContent(size_t n, uint32_t seed)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(((i + seed) * 7919) >> (i % 13));
    return out;
}

using testing::randomBytes;

// A stream set header declaring `lengths` (whatever the streams really hold), then the streams.
Bytes setDeclaring(const std::vector<uint32_t>& lengths, const std::vector<Bytes>& streams)
{
    Bytes out = varints({kStreamSetMagic, static_cast<uint32_t>(lengths.size())});
    for (uint32_t length : lengths)
        out = out + varints({length});
    for (const Bytes& s : streams)
        out = out + s;
    return out;
}

// The fields of a patch before it is encoded; the body is the stream set of `streams`.
struct PatchSpec {
    uint32_t magic = kEnsembleMagic;
    uint32_t version = kEnsembleVersion;
    uint32_t sourceChecksum = 0;
    uint32_t targetChecksum = 0;
    uint32_t prediction = 0;
    std::vector<Bytes> streams;

    Bytes encode() const
    {
        return varints({magic, version, sourceChecksum, targetChecksum, prediction}) +
               blobOf(streamSet(streams));
    }
};

// The plain form: no patchers, identity diffs of the empty parameter and element sets, and a
// whole-file diff.
PatchSpec plainPatch(const Bytes& oldData, const Bytes& newData)
{
    PatchSpec plan;
    plan.sourceChecksum = checksumOf(oldData);
    plan.targetChecksum = checksumOf(newData);
    const Bytes empty = predictedSet(0);
    plan.streams = {varints({0}), diffOf(empty, empty), diffOf(empty, empty),
                    diffOf(oldData, newData)};
    return plan;
}

// A plain patch whose element and final diffs each end in 30000 incompressible bytes that no
// diff reads, so that a cut through the compressed body can be placed inside either stream.
constexpr size_t kPadding = 30000;
PatchSpec paddedPatch(const Bytes& oldData, const Bytes& newData)
{
    PatchSpec plan = plainPatch(oldData, newData);
    plan.streams[2] = plan.streams[2] + randomBytes(kPadding, 1);
    plan.streams[3] = plan.streams[3] + randomBytes(kPadding, 2);
    return plan;
}

Bytes cut(const Bytes& data, size_t length)
{
    return Bytes(data.begin(), data.begin() + std::ptrdiff_t(length));
}

// A plain patch whose stream 0 is replaced by `parameters`; the parameter and element diffs
// reproduce the sets one patcher without parameters expects.
PatchSpec patcherPatch(const Bytes& oldData, const Bytes& newData, const Bytes& parameters)
{
    PatchSpec plan = plainPatch(oldData, newData);
    const Bytes predicted = predictedSet(1);
    plan.streams[0] = parameters;
    plan.streams[1] = diffOf(predicted, predicted);
    return plan;
}

// --- executable regions ------------------------------------------------------------------------

// A headerless final diff that replays (copy, extra, seek) triples over zero differences, so
// every copy reproduces the old bytes it reads.
Bytes copyingDiff(uint32_t newSize, const std::vector<std::array<int32_t, 3>>& triples)
{
    ByteSink control;
    size_t copied = 0;
    for (const auto& t : triples) {
        for (int32_t v : t)
            control.writeVarint32Signed(v);
        copied += size_t(t[0]);
    }
    ByteSink head;
    head.write("\0", 1);
    head.writeVarint32(newSize);
    return bytesOf(head) +
           varints({uint32_t(control.length()), uint32_t(copied), 0}) + bytesOf(control) +
           Bytes(copied, 0);
}

// The serialised set that holds the given element sets nested one after the other.
Bytes nestedSets(std::vector<ByteSinkSet>* elements)
{
    ByteSinkSet outer;
    for (ByteSinkSet& element : *elements)
        EXPECT_TRUE(outer.writeSet(&element));
    ByteSink out;
    EXPECT_TRUE(outer.copyToOneStream(&out));
    return bytesOf(out);
}

Bytes elementsOf(const std::vector<const EncodedProgram*>& programs)
{
    std::vector<ByteSinkSet> elements(programs.size());
    for (size_t i = 0; i < programs.size(); ++i)
        EXPECT_EQ(WriteEncodedProgram(*programs[i], &elements[i]), STATUS_OK);
    return nestedSets(&elements);
}

Bytes elementsOf(const EncodedProgram& program)
{
    return elementsOf(std::vector<const EncodedProgram*>{&program});
}

// The program the applier makes of an executable region.
EncodedProgram encodedRegion(const Bytes& image)
{
    std::unique_ptr<DisassembledProgram> program;
    EncodedProgram encoded;
    EXPECT_EQ(ParseExecutable(image.data(), image.size(), &program), STATUS_OK);
    if (program) {
        EXPECT_EQ(program->trimLabels(), STATUS_OK);
        EXPECT_EQ(EncodeProgram(*program, &encoded), STATUS_OK);
    }
    return encoded;
}

Bytes assembled(const EncodedProgram& program)
{
    ByteSink out;
    EXPECT_EQ(AssembleProgram(program, &out), STATUS_OK);
    return bytesOf(out);
}

// An x86-64 Mach-O image whose code calls a function at its end from several places; the two
// versions differ in code size, so every displacement changes.
Bytes machoImage(int version)
{
    Bytes code(version == 1 ? 8 : 24, 0x90);
    const size_t calls = 12;
    const size_t function = code.size() + calls * 5 + 16;
    for (size_t i = 0; i < calls; ++i) {
        const uint32_t rel = static_cast<uint32_t>(function - (code.size() + 5));
        code = code + Bytes{0xE8, uint8_t(rel), uint8_t(rel >> 8), uint8_t(rel >> 16),
                            uint8_t(rel >> 24)};
    }
    code.resize(function + 16, 0xC3);
    return testing::BuildMacho(testing::SmallMacho(true, code));
}

// Old and new file: an image between a header and a trailer that are not executable.
struct MachoFiles {
    Bytes prefix = Bytes(24, 'p');
    Bytes oldImage = machoImage(1);
    Bytes newImage = machoImage(2);
    Bytes oldData = prefix + oldImage + Bytes(100, 't');
    Bytes newData = prefix + newImage + Bytes(90, 'T');
};

// One patcher over the old image whose element is corrected into `corrected`; the final diff
// starts from the old file followed by `rebuilt`, the bytes the corrected element assembles to.
PatchSpec machoPatch(const MachoFiles& files, uint32_t kind, const Bytes& corrected,
                     const Bytes& rebuilt)
{
    const uint32_t offset = static_cast<uint32_t>(files.prefix.size());
    PatchSpec plan = patcherPatch(files.oldData, files.newData,
                                  varints({1, kind, offset, uint32_t(files.oldImage.size())}));
    plan.streams[2] = diffOf(elementsOf(encodedRegion(files.oldImage)), corrected);
    plan.streams[3] = diffOf(files.oldData + rebuilt, files.newData);
    return plan;
}

// The patch a release tool would write: the old image's program corrected into the new one's.
PatchSpec machoPatch(const MachoFiles& files, uint32_t kind)
{
    const EncodedProgram updated = encodedRegion(files.newImage);
    return machoPatch(files, kind, elementsOf(updated), assembled(updated));
}

// A corrected element whose program is damaged in the given way.
PatchSpec damagedMachoPatch(const MachoFiles& files, const std::function<void(ByteSinkSet*)>& damage)
{
    std::vector<ByteSinkSet> element(1);
    damage(&element[0]);
    return machoPatch(files, MACHO_X64, nestedSets(&element), {});
}

class EnsembleTest : public testing::TempDirTest {
protected:
    void writeFile(const std::string& name, const Bytes& data) const
    {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }

    std::optional<Bytes> readFile(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        if (!in)
            return std::nullopt;
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    std::set<std::string> entries() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_Dir))
            names.insert(entry.path().filename().string());
        return names;
    }

    PatchStatus apply(const std::string& oldName, const std::string& patchName,
                      const std::string& newName) const
    {
        return ApplyEnsemblePatchFiles(path(oldName).c_str(), path(patchName).c_str(),
                                       path(newName).c_str());
    }
};

TEST_F(EnsembleTest, PlainPatchReproducesTheNewFileOnce)
{
    const Bytes text(reinterpret_cast<const uint8_t*>("the quick brown fox"),
                     reinterpret_cast<const uint8_t*>("the quick brown fox") + 19);
    const struct {
        const char* name;
        Bytes oldData;
        Bytes newData;
        uint32_t prediction;
    } rows[] = {
        {"small edit", text, Bytes(text.begin(), text.end() - 3) + Bytes{'c', 'a', 't', '!'}, 0},
        {"large file", sampleContent(300000, 1), sampleContent(310000, 2), 0},
        {"new file empty", text, {}, 0},
        {"forged size prediction", sampleContent(5000, 3), sampleContent(4000, 4), 0xFFFFFFFF},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PatchSpec plan = plainPatch(row.oldData, row.newData);
        plan.prediction = row.prediction;
        writeFile("old", row.oldData);
        writeFile("patch", plan.encode());
        ASSERT_EQ(apply("old", "patch", "new"), STATUS_OK);
        EXPECT_TRUE(readFile("new") == row.newData);
        EXPECT_EQ(entries(), (std::set<std::string>{"old", "patch", "new"}));
        // The updated file is no longer the file the patch was made for.
        if (!row.newData.empty()) {
            EXPECT_EQ(apply("new", "patch", "again"), STATUS_BAD_CRC);
        }
        fs::remove(path("new"));
    }
}

// The kind in the patch does not pick the parser: kind 6 (32-bit) over a 64-bit image works too.
TEST_F(EnsembleTest, PatcherRebuildsTheExecutableRegion)
{
    const MachoFiles files;
    ASSERT_EQ(assembled(encodedRegion(files.newImage)), files.newImage);
    const struct {
        const char* name;
        uint32_t kind;
        uint32_t prediction;
    } rows[] = {
        {"Mach-O x86-64", MACHO_X64, uint32_t(files.newImage.size())},
        {"Mach-O x86 named for an x86-64 image", MACHO_X86, 0},
        {"PE x86 named for an x86-64 image", WIN_32_X86, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PatchSpec plan = machoPatch(files, row.kind);
        plan.prediction = row.prediction;
        const Bytes patch = plan.encode();
        ByteSink output;
        ASSERT_EQ(ApplyEnsemblePatch(ByteSource(files.oldData.data(), files.oldData.size()),
                                     ByteSource(patch.data(), patch.size()), &output),
                  STATUS_OK);
        EXPECT_TRUE(bytesOf(output) == files.newData);
    }
}

// The final diff reads the old file and the assembled region as one: copies and seeks may cross
// from one to the other, and a copy may end at the last assembled byte but not one past it.
TEST_F(EnsembleTest, FinalDiffReadsTheOldFileAndTheAssembledRegionAsOne)
{
    const MachoFiles files;
    const EncodedProgram updated = encodedRegion(files.newImage);
    const Bytes rebuilt = assembled(updated);
    const Bytes ensemble = files.oldData + rebuilt;
    const int32_t oldLength = int32_t(files.oldData.size());
    const int32_t total = int32_t(ensemble.size());
    const auto slice = [&](int32_t from, int32_t n) {
        return Bytes(ensemble.begin() + from, ensemble.begin() + from + n);
    };
    const struct {
        const char* name;
        std::vector<std::array<int32_t, 3>> triples;
        std::optional<Bytes> expected; // nullopt: the final diff fails
    } rows[] = {
        {"copy straddling the boundary", {{0, 0, oldLength - 10}, {20, 0, 0}},
         slice(oldLength - 10, 20)},
        {"seeks across the boundary both ways",
         {{0, 0, oldLength + 3}, {4, 0, 1 - oldLength - 7}, {4, 0, 0}},
         slice(oldLength + 3, 4) + slice(1, 4)},
        {"copy ending at the last assembled byte", {{0, 0, total - 8}, {8, 0, 0}},
         slice(total - 8, 8)},
        {"copy one byte past it", {{0, 0, total - 8}, {9, 0, 0}}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PatchSpec plan = machoPatch(files, MACHO_X64, elementsOf(updated), rebuilt);
        plan.streams[3] = copyingDiff(row.expected ? uint32_t(row.expected->size()) : 9, row.triples);
        plan.targetChecksum = row.expected ? checksumOf(*row.expected) : 0;
        const Bytes patch = plan.encode();
        ByteSink output;
        EXPECT_EQ(ApplyEnsemblePatch(ByteSource(files.oldData.data(), files.oldData.size()),
                                     ByteSource(patch.data(), patch.size()), &output),
                  row.expected ? STATUS_OK : STATUS_GENERAL_ERROR);
        if (row.expected) {
            EXPECT_TRUE(bytesOf(output) == *row.expected);
        }
    }
}

// Two regions are rebuilt in patcher order, one after the other behind the old file.
TEST_F(EnsembleTest, TwoPatchersAppendTheirRegionsInOrder)
{
    const MachoFiles files;
    const Bytes oldData = files.oldData + files.oldImage;
    const Bytes newData = files.newData + files.oldImage + Bytes(7, 'e');
    const EncodedProgram before = encodedRegion(files.oldImage);
    const EncodedProgram after = encodedRegion(files.newImage);
    const uint32_t length = uint32_t(files.oldImage.size());
    PatchSpec plan = patcherPatch(oldData, newData,
                                  varints({2, MACHO_X64, MACHO_X64, uint32_t(files.prefix.size()),
                                           length, uint32_t(files.oldData.size()), length}));
    plan.streams[1] = diffOf(predictedSet(2), predictedSet(2));
    plan.streams[2] = diffOf(elementsOf({&before, &before}), elementsOf({&after, &before}));
    plan.streams[3] = diffOf(oldData + assembled(after) + assembled(before), newData);
    const Bytes patch = plan.encode();
    ByteSink output;
    ASSERT_EQ(ApplyEnsemblePatch(ByteSource(oldData.data(), oldData.size()),
                                 ByteSource(patch.data(), patch.size()), &output),
              STATUS_OK);
    EXPECT_TRUE(bytesOf(output) == newData);
}

#if defined(__SANITIZE_ADDRESS__)
#define OV3_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OV3_ADDRESS_SANITIZER 1
#endif
#endif

// Runs in a child process whose address space is too small for what the prediction claims.
[[noreturn]] void applyWithAddressSpaceLimit(const Bytes& oldData, const Bytes& patch)
{
    const rlimit limit{512u << 20, 512u << 20};
    setrlimit(RLIMIT_AS, &limit);
    ByteSink output;
    _exit(ApplyEnsemblePatch(ByteSource(oldData.data(), oldData.size()),
                             ByteSource(patch.data(), patch.size()), &output));
}

// The size prediction is the patch's claim; 4 GiB must not be reserved on its word.
TEST_F(EnsembleTest, ForgedSizePredictionReservesNoMoreThanThePatchCanFill)
{
#ifdef OV3_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address space limit";
#endif
    const MachoFiles files;
    PatchSpec plan = machoPatch(files, MACHO_X64);
    plan.prediction = 0xFFFFFFFF;
    EXPECT_EXIT(applyWithAddressSpaceLimit(files.oldData, plan.encode()),
                ::testing::ExitedWithCode(STATUS_OK), "");
}

TEST_F(EnsembleTest, InMemoryApplyAppendsOnlyOnSuccess)
{
    const Bytes oldData = sampleContent(2000, 5);
    const Bytes newData = sampleContent(2100, 6);
    const Bytes patch = plainPatch(oldData, newData).encode();
    ByteSink output;
    ASSERT_TRUE(output.write("abc", 3));
    ASSERT_EQ(ApplyEnsemblePatch(ByteSource(oldData.data(), oldData.size()),
                                 ByteSource(patch.data(), patch.size()), &output),
              STATUS_OK);
    EXPECT_TRUE(bytesOf(output) == Bytes({'a', 'b', 'c'}) + newData);

    ByteSink untouched;
    ASSERT_TRUE(untouched.write("abc", 3));
    EXPECT_EQ(ApplyEnsemblePatch(ByteSource(newData.data(), newData.size()),
                                 ByteSource(patch.data(), patch.size()), &untouched),
              STATUS_BAD_CRC);
    EXPECT_TRUE(bytesOf(untouched) == Bytes({'a', 'b', 'c'}));
}

// What a damaged row starts from: the files as they will be on disk (nullopt: no such file).
struct Inputs {
    PatchSpec plan;
    std::optional<Bytes> oldFile;
    std::optional<Bytes> patchFile; // overrides the encoded plan when set
    bool noPatch = false;
    std::string newName = "new";
};

TEST_F(EnsembleTest, DamagedInputsYieldTheirStatusAndNoNewFile)
{
    const Bytes oldData = sampleContent(4096, 7);
    const Bytes newData = sampleContent(4000, 8);
    const uint32_t oldLength = static_cast<uint32_t>(oldData.size());
    const Bytes empty = predictedSet(0);
    const MachoFiles macho;
    // One patcher whose corrected parameters are not empty: nested count 1, one byte.
    const Bytes oneParameter = streamSet({Bytes{0x01, 0x01, 0xAA}});
    const Bytes header = varints({kEnsembleMagic, kEnsembleVersion, checksumOf(oldData),
                                  checksumOf(newData), 0});
    const auto lengthsOf = [](const PatchSpec& plan) {
        std::vector<uint32_t> lengths;
        for (const Bytes& stream : plan.streams)
            lengths.push_back(static_cast<uint32_t>(stream.size()));
        return lengths;
    };

    const struct {
        const char* name;
        PatchStatus expected;
        std::function<void(Inputs*)> damage;
    } rows[] = {
        {"patch and old file missing", STATUS_PATCH_OPEN_FAILED,
         [](Inputs* in) { in->noPatch = true, in->oldFile.reset(); }},
        {"empty patch file", STATUS_PATCH_OPEN_FAILED, [](Inputs* in) { in->patchFile = Bytes{}; }},
        {"wrong magic, old file missing", STATUS_BAD_MAGIC,
         [](Inputs* in) { in->plan.magic += 1, in->oldFile.reset(); }},
        {"magic cut short", STATUS_BAD_MAGIC, [](Inputs* in) { in->patchFile = Bytes{0xC3, 0xDE}; }},
        {"wrong version", STATUS_BAD_VERSION, [](Inputs* in) { in->plan.version -= 1; }},
        {"version missing", STATUS_BAD_VERSION,
         [](Inputs* in) { in->patchFile = varints({kEnsembleMagic}); }},
        {"size prediction missing", STATUS_BAD_HEADER, [&](Inputs* in) {
             in->patchFile = Bytes(header.begin(), header.end() - 1);
         }},
        {"old file missing", STATUS_FILE_IO_FAILED, [](Inputs* in) { in->oldFile.reset(); }},
        {"old file empty", STATUS_FILE_IO_FAILED, [](Inputs* in) { in->oldFile = Bytes{}; }},
        // The body is garbage too: the old file is refused before anything is decompressed.
        {"old file one byte different", STATUS_BAD_CRC, [&](Inputs* in) {
             in->oldFile->at(100) ^= 1;
             in->patchFile = header + Bytes{0xFF, 0xFF, 0xFF};
         }},
        {"body missing", STATUS_STREAM_ERROR, [&](Inputs* in) { in->patchFile = header; }},
        {"body not a stream set", STATUS_BAD_HEADER,
         [&](Inputs* in) { in->patchFile = header + blobOf({1, 2, 3}); }},
        // The set's lengths are checked against the blob's declared size before any stream is
        // decoded, in 64 bits.
        {"stream lengths past the body", STATUS_BAD_HEADER, [&](Inputs* in) {
             std::vector<uint32_t> lengths = lengthsOf(in->plan);
             lengths.back() += 1;
             in->patchFile = header + blobOf(setDeclaring(lengths, in->plan.streams));
         }},
        {"stream lengths adding up only in 32 bits", STATUS_BAD_HEADER, [&](Inputs* in) {
             std::vector<uint32_t> lengths = lengthsOf(in->plan);
             lengths.insert(lengths.end(), {0x80000000u, 0x80000000u});
             in->patchFile = header + blobOf(setDeclaring(lengths, in->plan.streams));
         }},
        {"stream set header cut short", STATUS_BAD_HEADER,
         [&](Inputs* in) { in->patchFile = header + blobOf(varints({kStreamSetMagic, 4, 10})); }},
        // Streams are decoded only when needed, yet a cut anywhere in the body still fails the
        // patch as a whole, before any status a step would give.
        {"body cut inside the element diff", STATUS_STREAM_ERROR, [&](Inputs* in) {
             in->plan = paddedPatch(oldData, newData);
             in->patchFile = cut(in->plan.encode(), header.size() + kPadding / 2);
         }},
        {"body cut inside the final diff", STATUS_STREAM_ERROR, [&](Inputs* in) {
             in->plan = paddedPatch(oldData, newData);
             const Bytes patch = in->plan.encode();
             in->patchFile = cut(patch, patch.size() - kPadding / 2);
         }},
        {"body cut inside the final diff, target checksum wrong", STATUS_STREAM_ERROR, [&](Inputs* in) {
             in->plan = paddedPatch(oldData, newData);
             in->plan.targetChecksum ^= 1;
             const Bytes patch = in->plan.encode();
             in->patchFile = cut(patch, patch.size() - kPadding / 2);
         }},
        {"kind 8, body cut inside the element diff", STATUS_STREAM_ERROR, [&](Inputs* in) {
             in->plan = paddedPatch(oldData, newData);
             in->plan.streams[0] = varints({1, 8, 0, 4});
             in->patchFile = cut(in->plan.encode(), header.size() + kPadding / 2);
         }},
        {"patcher count missing", STATUS_BAD_HEADER, [](Inputs* in) { in->plan.streams[0] = {}; }},
        {"stream 0 not consumed", STATUS_BAD_HEADER,
         [](Inputs* in) { in->plan.streams[0] = varints({0, 0}); }},
        {"kind 0", STATUS_BAD_HEADER,
         [](Inputs* in) { in->plan.streams[0] = varints({1, 0, 0, 4}); }},
        {"kind 8", STATUS_BAD_HEADER,
         [](Inputs* in) { in->plan.streams[0] = varints({1, 8, 0, 4}); }},
        {"fewer kinds than patchers", STATUS_BAD_HEADER,
         [](Inputs* in) { in->plan.streams[0] = varints({3, 1, 2}); }},
        {"patcher count 2^32-1", STATUS_BAD_HEADER,
         [](Inputs* in) { in->plan.streams[0] = varints({0xFFFFFFFF, 1, 0, 4}); }},
        {"region missing", STATUS_BAD_TRANSFORM,
         [](Inputs* in) { in->plan.streams[0] = varints({1, 7, 0}); }},
        {"region one byte past the old file", STATUS_BAD_TRANSFORM,
         [=](Inputs* in) { in->plan.streams[0] = varints({1, 1, 1, oldLength}); }},
        {"region offset past the old file", STATUS_BAD_TRANSFORM,
         [=](Inputs* in) { in->plan.streams[0] = varints({1, 1, oldLength + 1, 0}); }},
        {"region wrapping around", STATUS_BAD_TRANSFORM,
         [](Inputs* in) { in->plan.streams[0] = varints({1, 1, 0xFFFFFFFF, 2}); }},
        // Elements never overlap: regions adding up to more than the old file are refused.
        {"regions covering the old file twice", STATUS_BAD_TRANSFORM, [=](Inputs* in) {
             in->plan.streams[0] = varints({2, 7, 7, 0, oldLength, 1, oldLength - 1});
         }},
        {"kind 6 over bytes no parser knows", STATUS_INPUT_NOT_RECOGNIZED,
         [&](Inputs* in) { in->plan = patcherPatch(oldData, newData, varints({1, 6, 0, oldLength})); }},
        {"kind 1 over an empty region", STATUS_INPUT_NOT_RECOGNIZED,
         [&](Inputs* in) { in->plan = patcherPatch(oldData, newData, varints({1, 1, oldLength, 0})); }},
        {"parameter diff missing", STATUS_GENERAL_ERROR, [](Inputs* in) { in->plan.streams.resize(1); }},
        {"parameter diff corrupt", STATUS_GENERAL_ERROR,
         [](Inputs* in) { in->plan.streams[1] = {9, 9, 9}; }},
        {"corrected parameters not a set", STATUS_STREAM_ERROR,
         [&](Inputs* in) { in->plan.streams[1] = diffOf(empty, {1, 2, 3}); }},
        {"corrected parameters left over", STATUS_STREAM_NOT_CONSUMED,
         [&](Inputs* in) { in->plan.streams[1] = diffOf(empty, streamSet({{0}})); }},
        {"parameters for a patcher missing", STATUS_STREAM_ERROR, [&](Inputs* in) {
             in->plan = patcherPatch(oldData, newData, varints({1, 7, 0, 16}));
             in->plan.streams[1] = diffOf(predictedSet(1), empty);
         }},
        {"patcher given parameters", STATUS_GENERAL_ERROR, [&](Inputs* in) {
             in->plan = patcherPatch(oldData, newData, varints({1, 7, 0, 16}));
             in->plan.streams[1] = diffOf(predictedSet(1), oneParameter);
         }},
        {"element diff corrupt", STATUS_GENERAL_ERROR,
         [](Inputs* in) { in->plan.streams[2] = {}; }},
        {"corrected elements not a set", STATUS_STREAM_ERROR,
         [&](Inputs* in) { in->plan.streams[2] = diffOf(empty, {0xEA}); }},
        {"corrected elements left over", STATUS_STREAM_NOT_CONSUMED,
         [&](Inputs* in) { in->plan.streams[2] = diffOf(empty, streamSet({{}, {5}})); }},
        {"program unreadable", STATUS_DESERIALIZATION_FAILED, [&](Inputs* in) {
             in->oldFile = macho.oldData;
             in->plan = damagedMachoPatch(macho, [](ByteSinkSet*) {});
         }},
        {"program does not assemble", STATUS_ASSEMBLY_FAILED, [&](Inputs* in) {
             in->oldFile = macho.oldData;
             in->plan = damagedMachoPatch(macho, [](ByteSinkSet* element) {
                 EncodedProgram program;
                 program.ops.push_back(OP_COPY1); // a copy without a byte to copy
                 WriteEncodedProgram(program, element);
             });
         }},
        {"element bytes left over", STATUS_STREAM_NOT_CONSUMED, [&](Inputs* in) {
             in->oldFile = macho.oldData;
             in->plan = damagedMachoPatch(macho, [&](ByteSinkSet* element) {
                 WriteEncodedProgram(encodedRegion(macho.newImage), element);
                 element->stream(9)->write("x", 1);
             });
         }},
        {"element for a second patcher missing", STATUS_STREAM_ERROR, [&](Inputs* in) {
             const Bytes twice = macho.oldData + macho.oldImage;
             const uint32_t length = static_cast<uint32_t>(macho.oldImage.size());
             in->oldFile = twice;
             in->plan = patcherPatch(twice, macho.newData,
                                     varints({2, MACHO_X64, MACHO_X64, uint32_t(macho.prefix.size()),
                                              length, uint32_t(macho.oldData.size()), length}));
             in->plan.streams[1] = diffOf(predictedSet(2), predictedSet(2));
             in->plan.streams[2] = diffOf({}, elementsOf(encodedRegion(macho.newImage)));
         }},
        {"final diff missing", STATUS_GENERAL_ERROR, [](Inputs* in) { in->plan.streams.resize(3); }},
        {"final diff against another old file", STATUS_GENERAL_ERROR,
         [](Inputs* in) { in->plan.streams[3] = diffOf(Bytes(5000, 1), Bytes(5000, 1)); }},
        {"wrong target checksum", STATUS_BAD_CRC, [](Inputs* in) { in->plan.targetChecksum ^= 1; }},
        {"new file in a missing directory", STATUS_FILE_IO_FAILED,
         [](Inputs* in) { in->newName = "missing/new"; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Inputs in;
        in.plan = plainPatch(oldData, newData);
        in.oldFile = oldData;
        row.damage(&in);
        fs::remove_all(m_Dir);
        fs::create_directory(m_Dir);
        std::set<std::string> files;
        if (in.oldFile)
            writeFile("old", *in.oldFile), files.insert("old");
        if (!in.noPatch)
            writeFile("patch", in.patchFile ? *in.patchFile : in.plan.encode()), files.insert("patch");
        EXPECT_EQ(apply("old", "patch", in.newName), row.expected);
        EXPECT_EQ(entries(), files);
    }
}

// Between transforming up and the final diff the old bytes rest, and the file call lets their
// pages go: the final diff must find them again.
TEST_F(EnsembleTest, OldBytesRestBetweenTransformingUpAndTheFinalDiff)
{
    const MachoFiles files;
    const Bytes patch = machoPatch(files, MACHO_X64).encode();
    int calls = 0;
    ByteSink output;
    ASSERT_EQ(ApplyEnsemblePatch(ByteSource(files.oldData.data(), files.oldData.size()),
                                 ByteSource(patch.data(), patch.size()), &output,
                                 [&calls] { ++calls; }),
              STATUS_OK);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(bytesOf(output) == files.newData);

    writeFile("old", files.oldData);
    writeFile("patch", patch);
    ASSERT_EQ(apply("old", "patch", "new"), STATUS_OK);
    EXPECT_TRUE(readFile("new") == files.newData);
}

// The body is decoded a stream at a time through one decoder: whatever dictionary it declares
// (large bodies used to declare 64 MiB) and however its streams fall, the new file comes out.
TEST_F(EnsembleTest, BodyAppliesWhateverDictionaryItDeclares)
{
    const Bytes oldData = sampleContent(40000, 13);
    const Bytes newData = sampleContent(41000, 14);
    const PatchSpec plan = paddedPatch(oldData, newData);
    const size_t propertyAt = varints({plan.magic, plan.version, plan.sourceChecksum,
                                       plan.targetChecksum, plan.prediction})
                                  .size();
    const struct {
        const char* name;
        std::optional<uint8_t> property;
    } rows[] = {
        {"as written", std::nullopt},
        {"64 MiB", 28},
        {"the largest there is", 40},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes patch = plan.encode();
        if (row.property)
            patch.at(propertyAt) = *row.property;
        ByteSink output;
        ASSERT_EQ(ApplyEnsemblePatch(ByteSource(oldData.data(), oldData.size()),
                                     ByteSource(patch.data(), patch.size()), &output),
                  STATUS_OK);
        EXPECT_TRUE(bytesOf(output) == newData);
    }
}

// A new file that exists already is replaced on success and left alone on failure; a
// directory in the way is not a file to write.
TEST_F(EnsembleTest, ExistingNewFileIsReplacedOnlyOnSuccess)
{
    const Bytes oldData = sampleContent(3000, 9);
    const Bytes newData = sampleContent(3000, 10);
    PatchSpec plan = plainPatch(oldData, newData);
    writeFile("old", oldData);
    writeFile("new", {'k', 'e', 'e', 'p'});
    plan.targetChecksum ^= 1;
    writeFile("patch", plan.encode());
    EXPECT_EQ(apply("old", "patch", "new"), STATUS_BAD_CRC);
    EXPECT_TRUE(readFile("new") == Bytes({'k', 'e', 'e', 'p'}));

    writeFile("patch", plainPatch(oldData, newData).encode());
    EXPECT_EQ(apply("old", "patch", "new"), STATUS_OK);
    EXPECT_TRUE(readFile("new") == newData);

    fs::create_directory(path("dir"));
    EXPECT_EQ(apply("old", "patch", "dir"), STATUS_FILE_IO_FAILED);
    EXPECT_EQ(entries(), (std::set<std::string>{"old", "patch", "new", "dir"}));
}

// Runs in a child process: the file size limit stands in for a full disk.
[[noreturn]] void applyWithFileSizeLimit(const std::string& oldPath, const std::string& patch,
                                         const std::string& newPath)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{65536, 65536};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(ApplyEnsemblePatchFiles(oldPath.c_str(), patch.c_str(), newPath.c_str()));
}

TEST_F(EnsembleTest, ShortWriteLeavesNoNewFile)
{
    const Bytes oldData = sampleContent(1000, 11);
    const Bytes newData = sampleContent(200000, 12);
    writeFile("old", oldData);
    writeFile("patch", plainPatch(oldData, newData).encode());
    EXPECT_EXIT(applyWithFileSizeLimit(path("old"), path("patch"), path("new")),
                ::testing::ExitedWithCode(STATUS_FILE_IO_FAILED), "");
    EXPECT_EQ(entries(), (std::set<std::string>{"old", "patch"}));
}

// --- fuzz seeds --------------------------------------------------------------------------------

struct Seed {
    const char* name;
    Bytes bytes;
    bool isBody; // the fuzzer's second reading: target checksum and body of a matching patch
    PatchStatus expected;
};

// A body seed: the target checksum (little-endian) followed by the body stream set.
Bytes bodySeed(const PatchSpec& plan)
{
    const uint32_t target = plan.targetChecksum;
    return Bytes{uint8_t(target), uint8_t(target >> 8), uint8_t(target >> 16), uint8_t(target >> 24)} +
           streamSet(plan.streams);
}

std::vector<Seed> fuzzSeeds()
{
    const fuzzing::EnsembleFuzzOld fuzzOld = fuzzing::EnsembleFuzzOldFile();
    const Bytes& old = fuzzOld.bytes;
    MachoFiles image;
    image.prefix = Bytes(old.begin(), old.begin() + fuzzOld.imageOffset);
    image.oldImage = Bytes(old.begin() + fuzzOld.imageOffset,
                           old.begin() + fuzzOld.imageOffset + fuzzOld.imageLength);
    image.newImage = image.oldImage;
    image.newImage.at(0x145) = 0xCC; // a byte of code between two calls
    image.oldData = old;
    image.newData = image.prefix + image.newImage + Bytes(50, 'n');
    Bytes edited = old;
    edited.erase(edited.begin() + 100, edited.begin() + 140);
    edited.insert(edited.begin() + 600, 64, 'Z');
    const PatchSpec regionOverText =
        patcherPatch(old, edited, varints({1, MACHO_X64, 0, fuzzOld.imageOffset}));
    return {
        {"plain_edit", plainPatch(old, edited).encode(), false, STATUS_OK},
        {"plain_to_empty", plainPatch(old, {}).encode(), false, STATUS_OK},
        {"body_plain_edit", bodySeed(plainPatch(old, edited)), true, STATUS_OK},
        {"body_region_not_executable", bodySeed(regionOverText), true, STATUS_INPUT_NOT_RECOGNIZED},
        {"body_macho_region", bodySeed(machoPatch(image, MACHO_X64)), true, STATUS_OK},
    };
}

// The committed seeds must stay patches that get far: a seed the applier refuses early teaches
// the fuzzer little. OV3_ENSEMBLE_SEED_DIR=<dir> writes them afresh into <dir>.
TEST(EnsembleSeeds, CommittedSeedsApplyToTheFuzzOldFile)
{
    const Bytes old = fuzzing::EnsembleFuzzOldFile().bytes;
    const char* rewrite = std::getenv("OV3_ENSEMBLE_SEED_DIR");
    for (const Seed& seed : fuzzSeeds()) {
        SCOPED_TRACE(seed.name);
        if (rewrite != nullptr)
            std::ofstream(std::string(rewrite) + "/" + seed.name, std::ios::binary)
                .write(reinterpret_cast<const char*>(seed.bytes.data()),
                       std::streamsize(seed.bytes.size()));
        std::ifstream in(std::string(OV3_SOURCE_DIR) + "/tests/fuzz/corpus/ensemble/" + seed.name,
                         std::ios::binary);
        ASSERT_TRUE(in.good());
        const Bytes committed{std::istreambuf_iterator<char>(in), {}};
        ByteSink patch;
        if (seed.isBody)
            fuzzing::WrapBody(old, committed.data(), committed.size(), &patch);
        else
            ASSERT_TRUE(patch.write(committed.data(), committed.size()));
        ByteSink output;
        EXPECT_EQ(ApplyEnsemblePatch(ByteSource(old.data(), old.size()), patch.asSource(), &output),
                  seed.expected);
    }
}

} // namespace
} // namespace deltapatch
