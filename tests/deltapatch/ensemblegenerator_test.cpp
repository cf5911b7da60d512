// Tests of ensemble patch generation: round trips over a table of file pairs, the choice between
// the executable-aware and the plain form, the self-check, label matching, progress and the
// body's compression settings.
#include "deltapatch/ensemblegenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "deltapatch/checksum.h"
#include "deltapatch/elementpairing.h"
#include "deltapatch/ensemble.h"
#include "deltapatch/ensembleelements.h"
#include "deltapatch/ensemblepatchwriter.h"
#include "deltapatch/imagealignment.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/programsource.h"
#include "deltapatch/scannedblockdiff.h"
#include "syntheticprogram.h"

namespace deltapatch {
namespace {

using testing::BuildSyntheticProgram;
using testing::BuildUniversal;
using testing::SyntheticProgram;

ByteSource sourceOf(const std::string& bytes)
{
    return ByteSource(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string stringOf(const ByteSink& sink)
{
    return std::string(reinterpret_cast<const char*>(sink.data()), sink.length());
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct Generated {
    PatchStatus status;
    std::string patch;
};

Generated generate(const std::string& old, const std::string& newData,
                   const EnsembleGeneratorOptions& options = {})
{
    ByteSink patch;
    const PatchStatus status = GenerateEnsemblePatch(sourceOf(old), sourceOf(newData), &patch, options);
    return {status, stringOf(patch)};
}

std::string apply(const std::string& old, const std::string& patch, PatchStatus* status)
{
    ByteSink output;
    *status = ApplyEnsemblePatch(sourceOf(old), sourceOf(patch), &output);
    return stringOf(output);
}

// The patcher count at the start of body stream 0, or -1 when the patch does not read.
int64_t patcherCount(const std::string& patch)
{
    ByteSource source = sourceOf(patch);
    uint32_t field = 0;
    for (int i = 0; i < 5; ++i) {
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

std::string plainBlockDiff(const std::string& old, const std::string& newData)
{
    ByteSink diff;
    EXPECT_TRUE(GenerateBlockDiff(sourceOf(old), sourceOf(newData), &diff, false, METHOD_LZMA2_BODY));
    return stringOf(diff);
}

std::string textSample(int lines, int salt)
{
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "entry " + std::to_string(i) + " = " + std::to_string((i * 7919 + salt) % 997) + "\n";
    return text;
}

std::string randomBytes(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

SyntheticProgram version(bool is64, int inserted, int edited)
{
    SyntheticProgram program;
    program.is64 = is64;
    program.inserted = inserted;
    program.edited = edited;
    return program;
}

const std::string kMachoFixtures = MACHO_FIXTURE_DIR "/";
const std::string kElfFixtures = ELF_FIXTURE_DIR "/";
const std::string kPeFixtures = PE_FIXTURE_DIR "/";
const std::string kGeneratedPair = GENERATED_MACHO_DIR "/program";

struct Pair {
    std::string name;
    std::string old;
    std::string newData;
    int64_t patchers; // expected patcher count, or -1 when either form may win
};

std::vector<Pair> executablePairs()
{
    const std::string old64 = BuildSyntheticProgram(version(true, 0, 0));
    const std::string new64 = BuildSyntheticProgram(version(true, 3, 8));
    const std::string old32 = BuildSyntheticProgram(version(false, 0, 0));
    const std::string new32 = BuildSyntheticProgram(version(false, 2, 4));
    return {
        {"synthetic x86-64", old64, new64, 1},
        {"synthetic x86", old32, new32, 1},
        {"universal, both slices", BuildUniversal({old64, old32}), BuildUniversal({new64, new32}), 2},
        {"compiled program", readFile(kGeneratedPair + ".old"), readFile(kGeneratedPair + ".new"), 1},
    };
}

// The parsers' fixtures: small executables of every kind at two versions.
std::vector<Pair> fixturePairs()
{
    std::vector<Pair> pairs;
    auto add = [&pairs](const std::string& name, const std::string& stem, const std::string& suffix) {
        pairs.push_back({name, readFile(stem + "_v1" + suffix), readFile(stem + "_v2" + suffix), -1});
    };
    add("Mach-O x86-64 executable", kMachoFixtures + "app", "");
    add("Mach-O dylib", kMachoFixtures + "libfixture", ".dylib");
    add("Mach-O x86 executable", kMachoFixtures + "i386", "");
    add("universal Mach-O", kMachoFixtures + "universal", "");
    add("ELF x86-64", kElfFixtures + "libx64", ".so");
    add("ELF x86", kElfFixtures + "libi386", ".so");
    add("ELF ARM", kElfFixtures + "libarm", ".so");
    add("PE32", kPeFixtures + "lib_i686", ".dll");
    add("PE32+", kPeFixtures + "lib_x86_64", ".dll");
    return pairs;
}

TEST(EnsembleGeneratorTest, EveryPairRoundTrips)
{
    const std::string text = textSample(3000, 0);
    std::string editedText = text;
    editedText.replace(editedText.size() / 3, 12, "something else");
    editedText.insert(editedText.size() / 2, "a new line\n");
    const std::string program = BuildSyntheticProgram(version(true, 0, 0));
    std::vector<Pair> pairs = {
        {"both empty", "", "", 0},
        {"empty old", "", text, 0},
        {"empty new", text, "", 0},
        {"identical text", text, text, 0},
        {"edited text", text, editedText, 0},
        {"unrelated random bytes", randomBytes(20000, 1), randomBytes(30000, 2), 0},
        {"text becomes a program", text, program, 0},
        {"program becomes text", program, text, 0},
        {"identical programs", program, program, -1},
        {"universal file becomes thin", BuildUniversal({program}), program, -1},
    };
    for (const Pair& pair : fixturePairs())
        pairs.push_back(pair);
    for (const Pair& pair : executablePairs())
        pairs.push_back(pair);
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.name);
        const Generated made = generate(pair.old, pair.newData);
        ASSERT_EQ(made.status, STATUS_OK);
        PatchStatus status = STATUS_GENERAL_ERROR;
        EXPECT_TRUE(apply(pair.old, made.patch, &status) == pair.newData);
        EXPECT_EQ(status, STATUS_OK);
        if (pair.patchers >= 0) {
            EXPECT_EQ(patcherCount(made.patch), pair.patchers);
        }
    }
}

// Whichever form is smaller, the executable-aware one must be valid for every kind: with the
// plain candidate damaged, only the executable-aware one can pass the self-check.
TEST(EnsembleGeneratorTest, ExecutableAwareFormReproducesEveryExecutablePair)
{
    EnsembleGeneratorOptions plainDamaged;
    plainDamaged.beforeVerify = [](ByteSink* candidate, bool executableAware) {
        if (!executableAware)
            candidate->data()[candidate->length() - 1] ^= 0x40;
    };
    std::vector<Pair> pairs = fixturePairs();
    for (const Pair& pair : executablePairs())
        pairs.push_back(pair);
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.name);
        const Generated made = generate(pair.old, pair.newData, plainDamaged);
        ASSERT_EQ(made.status, STATUS_OK);
        EXPECT_GE(patcherCount(made.patch), 1);
        PatchStatus status = STATUS_GENERAL_ERROR;
        EXPECT_TRUE(apply(pair.old, made.patch, &status) == pair.newData);
    }
}

// Small executables get an executable-aware candidate on each of two alignments; whichever is
// verified first, each reproduces the new file.
TEST(EnsembleGeneratorTest, EveryExecutableAwareCandidateReproducesTheNewFile)
{
    const Pair pair = executablePairs()[0];
    for (int keep = 0; keep < 3; ++keep) {
        SCOPED_TRACE(keep);
        int aware = 0;
        EnsembleGeneratorOptions options;
        options.beforeVerify = [&aware, keep](ByteSink* candidate, bool executableAware) {
            if (!executableAware || aware++ != keep)
                candidate->data()[candidate->length() - 1] ^= 0x40;
        };
        const Generated made = generate(pair.old, pair.newData, options);
        if (keep == 2) { // there are only two
            EXPECT_EQ(aware, 2);
            EXPECT_NE(made.status, STATUS_OK);
            continue;
        }
        ASSERT_EQ(made.status, STATUS_OK);
        EXPECT_EQ(patcherCount(made.patch), 1);
        PatchStatus status = STATUS_GENERAL_ERROR;
        EXPECT_TRUE(apply(pair.old, made.patch, &status) == pair.newData);
    }
}

// Where executables were rebuilt, the label-indexed element diff must pay off against diffing
// the bytes, in which every displacement across an insertion differs.
TEST(EnsembleGeneratorTest, ExecutableAwarePatchIsSmallerThanThePlainDiff)
{
    EnsembleGeneratorOptions plainOnly;
    plainOnly.executableAware = false;
    for (const Pair& pair : executablePairs()) {
        SCOPED_TRACE(pair.name);
        const Generated aware = generate(pair.old, pair.newData);
        const Generated plain = generate(pair.old, pair.newData, plainOnly);
        ASSERT_EQ(aware.status, STATUS_OK);
        ASSERT_EQ(plain.status, STATUS_OK);
        EXPECT_EQ(patcherCount(aware.patch), pair.patchers);
        EXPECT_EQ(patcherCount(plain.patch), 0);
        EXPECT_LT(aware.patch.size(), plain.patch.size());
        EXPECT_LT(aware.patch.size(), plainBlockDiff(pair.old, pair.newData).size());
    }
}

// The matcher gives every label of unchanged code its old index: only the inserted functions,
// the one new kind of call target, get indexes of their own.
TEST(EnsembleGeneratorTest, LabelsOfUnchangedCodeKeepTheirIndexes)
{
    struct Row {
        SyntheticProgram old;
        SyntheticProgram newVersion;
        size_t unmatched;
    };
    const std::vector<Row> rows = {
        {version(true, 0, 0), version(true, 0, 0), 0},
        {version(true, 0, 0), version(true, 4, 10), 4},
        {version(false, 0, 0), version(false, 3, 0), 3},
        {version(true, 2, 0), version(true, 0, 6), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.newVersion.inserted) + " inserted, " +
                     std::to_string(row.old.inserted) + " removed");
        const std::string old = BuildSyntheticProgram(row.old);
        const std::string newData = BuildSyntheticProgram(row.newVersion);
        ScannedBlockDiff scan;
        ASSERT_TRUE(scan.scan(sourceOf(old), sourceOf(newData), nullptr));
        ImageAlignment alignment;
        alignment.build(scan.control(), old.size());
        ElementPair pair;
        pair.oldElement = {0, old.size(), row.old.is64 ? MACHO_X64 : MACHO_X86};
        pair.newElement = {0, newData.size(), pair.oldElement.kind};
        EnsembleElements elements;
        ASSERT_TRUE(elements.begin(sourceOf(old)));
        ASSERT_EQ(elements.add(sourceOf(old), sourceOf(newData), pair, alignment), STATUS_OK);
        EXPECT_EQ(elements.counts().unmatched, row.unmatched);
        EXPECT_GT(elements.counts().byReferences, 100u);
        ByteSink transformed, corrected;
        ASSERT_TRUE(elements.serialise(&transformed, &corrected));
        if (old == newData) {
            EXPECT_TRUE(stringOf(transformed) == stringOf(corrected));
        }
    }
}

TEST(EnsembleGeneratorTest, FallsBackToThePlainForm)
{
    const std::string old = BuildSyntheticProgram(version(true, 0, 0));
    const std::string newData = BuildSyntheticProgram(version(true, 3, 8));
    EnsembleGeneratorOptions plainOnly;
    plainOnly.executableAware = false;
    EnsembleGeneratorOptions awareFailsVerification;
    awareFailsVerification.beforeVerify = [](ByteSink* candidate, bool executableAware) {
        if (executableAware)
            candidate->data()[candidate->length() - 1] ^= 0x40;
    };
    for (const EnsembleGeneratorOptions* options : {&plainOnly, &awareFailsVerification}) {
        const Generated made = generate(old, newData, *options);
        ASSERT_EQ(made.status, STATUS_OK);
        EXPECT_EQ(patcherCount(made.patch), 0);
        PatchStatus status = STATUS_GENERAL_ERROR;
        EXPECT_TRUE(apply(old, made.patch, &status) == newData);
    }
}

TEST(EnsembleGeneratorTest, SelfCheckRejectsADamagedPatch)
{
    const std::string old = BuildSyntheticProgram(version(true, 0, 0));
    const std::string newData = BuildSyntheticProgram(version(true, 1, 2));
    EnsembleGeneratorOptions damageAll;
    damageAll.beforeVerify = [](ByteSink* candidate, bool) {
        candidate->data()[candidate->length() - 1] ^= 0x40;
    };
    // Without the self-check the damage gets through, so it is damage the applier notices.
    damageAll.verify = false;
    const Generated unchecked = generate(old, newData, damageAll);
    ASSERT_EQ(unchecked.status, STATUS_OK);
    PatchStatus status = STATUS_OK;
    apply(old, unchecked.patch, &status);
    EXPECT_NE(status, STATUS_OK);

    damageAll.verify = true;
    ByteSink patch;
    ASSERT_TRUE(patch.write("kept", 4));
    EXPECT_NE(GenerateEnsemblePatch(sourceOf(old), sourceOf(newData), &patch, damageAll), STATUS_OK);
    EXPECT_EQ(stringOf(patch), "kept");
}

// Small files get a second, compact plain candidate, and the smallest candidate that reproduces
// the new data is the patch.
TEST(EnsembleGeneratorTest, SmallFilesGetACompactPlainCandidate)
{
    struct Row {
        const char* what;
        std::string old;
        std::string newData;
        size_t candidates;
    };
    std::string largeNew = randomBytes(300000, 8);
    largeNew.replace(1000, 5, "edits");
    const Row rows[] = {{"small text", textSample(3000, 1), textSample(3100, 2), 2},
                        {"above 256 KiB", randomBytes(300000, 8), largeNew, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<size_t> sizes;
        EnsembleGeneratorOptions recordAll;
        recordAll.executableAware = false;
        recordAll.beforeVerify = [&sizes](ByteSink* candidate, bool) {
            sizes.push_back(candidate->length());
            candidate->data()[candidate->length() - 1] ^= 0x40; // on to the next candidate
        };
        EXPECT_NE(generate(row.old, row.newData, recordAll).status, STATUS_OK);
        ASSERT_EQ(sizes.size(), row.candidates);
        const Generated made = generate(row.old, row.newData);
        ASSERT_EQ(made.status, STATUS_OK);
        EXPECT_EQ(made.patch.size(), *std::min_element(sizes.begin(), sizes.end()));
        PatchStatus status = STATUS_GENERAL_ERROR;
        EXPECT_EQ(apply(row.old, made.patch, &status), row.newData);
        EXPECT_EQ(status, STATUS_OK);
    }
}

TEST(EnsembleGeneratorTest, ReportsProgressUpToTheEnd)
{
    const std::string old = BuildSyntheticProgram(version(true, 0, 0));
    const std::string newData = BuildSyntheticProgram(version(true, 2, 4));
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    EnsembleGeneratorOptions options;
    options.progress = [&reports](uint64_t done, uint64_t total) { reports.push_back({done, total}); };
    ASSERT_EQ(generate(old, newData, options).status, STATUS_OK);
    ASSERT_GT(reports.size(), 5u);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].first, reports[i - 1].first);
        EXPECT_EQ(reports[i].second, reports[0].second);
    }
    EXPECT_EQ(reports.back().first, reports.back().second);
}

TEST(ImageAlignmentTest, MapsCopiedBytesOnly)
{
    ByteSink control;
    // (copy, extra, seek): new [0,4) from old [0,4), 2 inserted; new [6,9) from old [14,17),
    // nothing inserted; new [9,11) from old [-3,-1), outside the old data, so not aligned.
    for (int32_t value : {4, 2, 10, 3, 0, -20, 2, 1, 0})
        ASSERT_TRUE(control.writeVarint32Signed(value));
    ImageAlignment alignment;
    alignment.build(control, 20);
    const std::vector<std::pair<uint64_t, int64_t>> rows = {
        {0, 0}, {3, 3}, {4, -1}, {5, -1}, {6, 14}, {8, 16}, {9, -1}, {11, -1}, {100, -1}};
    for (const auto& row : rows)
        EXPECT_EQ(alignment.oldOffsetOf(row.first), row.second) << "new offset " << row.first;
}

TEST(ElementPairingTest, PairsInOrderByKind)
{
    struct Row {
        std::vector<ExecutableKind> old;
        std::vector<ExecutableKind> newKinds;
        std::vector<std::pair<size_t, size_t>> pairs; // old index, new index
    };
    const std::vector<Row> rows = {
        {{MACHO_X64}, {MACHO_X64}, {{0, 0}}},
        {{MACHO_X64}, {MACHO_X86}, {}},
        {{MACHO_X64, MACHO_X86}, {MACHO_X64, MACHO_X86}, {{0, 0}, {1, 1}}},
        {{MACHO_X86, MACHO_X64}, {MACHO_X64, MACHO_X86}, {{1, 0}}},
        {{MACHO_X64}, {MACHO_X64, MACHO_X64}, {{0, 0}}},
        {{MACHO_X86, MACHO_X86, MACHO_X64}, {MACHO_X64}, {{2, 0}}},
        {{}, {MACHO_X64}, {}},
    };
    for (const Row& row : rows) {
        ProgramElements old, newElements;
        for (size_t i = 0; i < row.old.size(); ++i)
            old.items[old.count++] = {i * 100, 10, row.old[i]};
        for (size_t i = 0; i < row.newKinds.size(); ++i)
            newElements.items[newElements.count++] = {i * 100, 10, row.newKinds[i]};
        const ElementPairs pairs = PairElements(old, newElements);
        std::vector<std::pair<size_t, size_t>> found;
        for (size_t i = 0; i < pairs.count; ++i)
            found.push_back({pairs.items[i].oldElement.offset / 100,
                             pairs.items[i].newElement.offset / 100});
        EXPECT_EQ(found, row.pairs) << row.old.size() << " old, " << row.newKinds.size() << " new";
    }
}

// Words of random syllables, an upper-case consonant and a lower-case vowel each: the class of
// a byte tells which class comes next and little repeats exactly, as in the mixed-case symbol
// names a final diff inserts.
std::string syllableText(size_t words, uint32_t seed)
{
    static const char consonants[] = "BDFGKLMNPRSTVZ";
    static const char vowels[] = "aeiou";
    std::string text;
    for (size_t w = 0; w < words; ++w) {
        seed = seed * 1103515245u + 12345u;
        for (uint32_t n = 2 + (seed >> 28) % 3; n > 0; --n) {
            seed = seed * 1103515245u + 12345u;
            text += consonants[(seed >> 16) % 14];
            text += vowels[(seed >> 8) % 5];
        }
        text += w % 8 == 7 ? '\n' : '_';
    }
    return text;
}

// The literal context bits of the first LZMA2 chunk of the patch's body blob, or -1.
int literalContextBitsOfBody(const std::string& patch)
{
    ByteSource source = sourceOf(patch);
    uint32_t field = 0;
    for (int i = 0; i < 6; ++i) { // five header fields, then the blob's property byte and size
        if (!(i == 5 ? source.skip(1) && source.readVarint32(&field) : source.readVarint32(&field)))
            return -1;
    }
    uint8_t chunk[6];
    if (!source.read(chunk, sizeof chunk) || chunk[0] < 0xE0) // a chunk that sets new properties
        return -1;
    return chunk[5] % 9;
}

// The body is compressed with the literal context that suits it, and whatever was chosen reads.
TEST(EnsemblePatchWriterTest, ChoosesLiteralContextBitsByTheBodyAndTheBodyReads)
{
    std::string sparseNew = randomBytes(200000, 5);
    for (size_t i = 0; i < sparseNew.size(); i += 97)
        sparseNew[i] = char(sparseNew[i] + 1);
    struct Row {
        const char* what;
        std::string old;
        std::string newData;
        bool expectTextContext;
    };
    const Row rows[] = {{"inserted names", syllableText(100, 1), syllableText(20000, 2), true},
                        {"sparse differences", randomBytes(200000, 5), sparseNew, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EnsemblePatchHeader header;
        header.sourceChecksum = ContentChecksum(reinterpret_cast<const uint8_t*>(row.old.data()), row.old.size());
        header.targetChecksum = ContentChecksum(reinterpret_cast<const uint8_t*>(row.newData.data()), row.newData.size());
        EnsembleBody body;
        ASSERT_TRUE(WritePatcherList(ElementPairs(), &body.patchers));
        ASSERT_TRUE(WriteParameterDiff(0, &body.parameterDiff));
        ASSERT_TRUE(WriteParameterDiff(0, &body.elementDiff));
        ASSERT_TRUE(GenerateBlockDiff(sourceOf(row.old), sourceOf(row.newData), &body.finalDiff,
                                      false, METHOD_NONE));
        ByteSink patch;
        ASSERT_TRUE(WriteEnsemblePatch(header, &body, &patch, BodyCompression::StrongestOfContexts));
        const int bits = literalContextBitsOfBody(stringOf(patch));
        if (row.expectTextContext)
            EXPECT_EQ(bits, 3);
        else
            EXPECT_TRUE(bits == 0 || bits == 1) << bits;
        PatchStatus status = STATUS_GENERAL_ERROR;
        EXPECT_EQ(apply(row.old, stringOf(patch), &status), row.newData);
        EXPECT_EQ(status, STATUS_OK);
    }
}

} // namespace
} // namespace deltapatch
