// Block diff: hand-made patches for every failure path, and generate/apply round trips.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "deltapatch/blockdiff.h"
#include "deltapatch/blockdiff_generate.h"
#include "deltapatch/checksum.h"
#include "deltapatch/lzma2blob.h"
#include "log/log.h"

namespace deltapatch {
namespace {

using Bytes = std::vector<uint8_t>;

struct Triple {
    int32_t copy;
    int32_t extra;
    int32_t seek;
};

class LogCapture : public LogBase {
public:
    void flush() override {}
    void hook1(int) override {}
    void write(const std::string& message, int level, const std::string&, uint64_t,
               const std::string&, const std::string&) override
    {
        if (level == LogLevel_ERROR)
            errors.push_back(message);
    }
    std::vector<std::string> errors;
};

Bytes toBytes(const ByteSink& sink)
{
    return Bytes(sink.data(), sink.data() + sink.length());
}

Bytes fromText(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes controlBytes(const std::vector<Triple>& triples)
{
    ByteSink control;
    for (const Triple& t : triples) {
        control.writeVarint32Signed(t.copy);
        control.writeVarint32Signed(t.extra);
        control.writeVarint32Signed(t.seek);
    }
    return toBytes(control);
}

// Method byte, new size, then the plain section layout.
Bytes plainPatch(uint32_t newSize, const std::vector<Triple>& triples, const Bytes& diff,
                 const Bytes& extra, uint8_t method = METHOD_NONE)
{
    const Bytes control = controlBytes(triples);
    ByteSink patch;
    patch.write(&method, 1);
    patch.writeVarint32(newSize);
    patch.writeVarint32(static_cast<uint32_t>(control.size()));
    patch.writeVarint32(static_cast<uint32_t>(diff.size()));
    patch.writeVarint32(static_cast<uint32_t>(extra.size()));
    return concat(concat(concat(toBytes(patch), control), diff), extra);
}

Bytes blob(const Bytes& content)
{
    ByteSink sink;
    WriteLzma2Blob(content.data(), content.size(), &sink);
    return toBytes(sink);
}

// The same content as plainPatch, in one of the compressed layouts.
Bytes compressedPatch(uint8_t method, uint32_t newSize, const std::vector<Triple>& triples,
                      const Bytes& diff, const Bytes& extra)
{
    ByteSink head;
    head.write(&method, 1);
    head.writeVarint32(newSize);
    if (method == METHOD_LZMA2_SECTIONS) {
        return concat(concat(concat(toBytes(head), blob(controlBytes(triples))), blob(diff)),
                      blob(extra));
    }
    const Bytes plain = plainPatch(newSize, triples, diff, extra);
    const Bytes sections(plain.begin() + long(head.length()), plain.end());
    return concat(toBytes(head), blob(sections));
}

Bytes withHeader(const Bytes& body, uint32_t checksum)
{
    ByteSink header;
    header.write(kBlockDiffMagic, sizeof kBlockDiffMagic);
    header.writeVarint32(checksum);
    return concat(toBytes(header), body);
}

uint32_t checksumOf(const std::string& text)
{
    return ContentChecksum(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

struct ApplyRow {
    const char* name;
    Bytes old;
    Bytes patch;
    bool header;
    bool ok;
    Bytes expected;     // output when ok
    const char* error;  // the one logged error, or nullptr for none
};

std::vector<ApplyRow> applyRows()
{
    const Bytes abc = {1, 2, 3};
    const Bytes hello = fromText("hello");
    const Bytes helloPatch = plainPatch(5, {{0, 5, 0}}, {}, hello);
    const Bytes noLengths = {METHOD_NONE, 5, 0};
    const Bytes oversized = {METHOD_NONE, 5, 9, 0, 0, 1, 2};
    const Bytes hugeBody = compressedPatch(METHOD_LZMA2_BODY, 0x80000000u, {{0, 5, 0}}, {}, hello);
    Bytes twoBlobs = compressedPatch(METHOD_LZMA2_SECTIONS, 5, {{0, 5, 0}}, {}, hello);
    twoBlobs.resize(twoBlobs.size() - blob(hello).size());
    return {
        {"empty control, new size 0", abc, plainPatch(0, {}, {}, {}), false, true, {}, nullptr},
        {"extra only", abc, helloPatch, false, true, hello, nullptr},
        {"extra only, empty old", {}, helloPatch, false, true, hello, nullptr},
        {"copy adds diff to old", abc, plainPatch(3, {{3, 0, 0}}, {0xFF, 0x00, 0x01}, {}), false,
         true, {0x00, 0x02, 0x04}, nullptr},
        {"seek back and copy again", abc,
         plainPatch(4, {{2, 0, -2}, {2, 0, 0}}, {0, 0, 0, 0}, {}), false, true, {1, 2, 1, 2},
         nullptr},
        {"copy 0 at the end of old", abc, plainPatch(1, {{0, 0, 3}, {0, 1, 0}}, {}, {9}), false,
         true, {9}, nullptr},
        {"copy 0 past the end of old", abc, plainPatch(1, {{0, 0, 4}, {0, 1, 0}}, {}, {9}), false,
         false, {}, nullptr},
        {"seek below 0, then copy 0", abc, plainPatch(1, {{0, 0, -1}, {0, 1, 0}}, {}, {9}), false,
         false, {}, nullptr},
        {"seek to 2^31-1, then copy 1", abc,
         plainPatch(1, {{0, 0, 0x7FFFFFFF}, {1, 0, 0}}, {0}, {}), false, false, {}, nullptr},
        {"copy wraps the position", abc,
         plainPatch(2, {{1, 0, 0x7FFFFFFE}, {1, 0, 0}}, {0, 0}, {}), false, false, {}, nullptr},
        {"copy past old", abc, plainPatch(4, {{4, 0, 0}}, {0, 0, 0, 0}, {}), false, false, {},
         nullptr},
        {"negative copy", abc, plainPatch(1, {{-1, 1, 0}}, {}, {9}), false, false, {}, nullptr},
        {"negative extra", abc, plainPatch(1, {{1, -1, 0}}, {0}, {}), false, false, {}, nullptr},
        {"extra past new size", abc, plainPatch(4, {{0, 5, 0}}, {}, hello), false, false, {},
         "Corrupt patch"},
        {"copy past new size", abc, plainPatch(2, {{3, 0, 0}}, {0, 0, 0}, {}), false, false, {},
         "Corrupt patch"},
        {"copy beyond diff section", abc, plainPatch(3, {{3, 0, 0}}, {0, 0}, {9}), false, false,
         {}, "Corrupt patch"},
        {"extra beyond extra section", abc, plainPatch(3, {{0, 3, 0}}, {}, {9, 9}), false, false,
         {}, "Corrupt patch"},
        {"control runs out", abc, plainPatch(5, {{0, 2, 0}}, {}, hello), false, false, {},
         "Corrupt patch reading control"},
        {"control ends inside a triple", abc, plainPatch(5, {}, {}, hello), false, false, {},
         "Corrupt patch reading control"},
        {"2 GiB claimed by a tiny patch", abc, plainPatch(0x80000000u, {{0, 5, 0}}, {}, hello),
         false, false, {}, "Corrupt patch reading control"},
        {"2 GiB claimed by a compressed body", abc, hugeBody, false, false, {},
         "Corrupt patch reading control"},
        {"compressed body", abc, compressedPatch(METHOD_LZMA2_BODY, 5, {{0, 5, 0}}, {}, hello),
         false, true, hello, nullptr},
        {"compressed sections", abc,
         compressedPatch(METHOD_LZMA2_SECTIONS, 3, {{3, 0, 0}}, {0xFF, 0x00, 0x01}, {}), false,
         true, {0x00, 0x02, 0x04}, nullptr},
        {"compressed sections, one missing", abc, twoBlobs, false, false, {},
         "Error read LZMA2 properties"},
        {"method 3", abc, {3, 0}, false, false, {}, "Invalid compression method"},
        {"method 255", abc, {255, 0}, false, false, {}, "Invalid compression method"},
        {"empty patch", abc, {}, false, false, {}, nullptr},
        {"no new size", abc, {METHOD_NONE}, false, false, {}, nullptr},
        {"missing section lengths", abc, noLengths, false, false, {}, nullptr},
        {"sections larger than the patch", abc, oversized, false, false, {}, nullptr},
        {"header ok", abc, withHeader(helloPatch, checksumOf("hello")), true, true, hello,
         nullptr},
        {"header, flipped checksum bit", abc, withHeader(helloPatch, checksumOf("hello") ^ 4),
         true, false, {}, "crc mismatch"},
        {"header, wrong magic", abc, concat(fromText("OVDIFF11"), helloPatch), true, false, {},
         "Corrupt patch header"},
        {"header, short magic", abc, fromText("OVDIF"), true, false, {}, nullptr},
        {"header, no checksum", abc, fromText("OVDIFF10"), true, false, {}, "Could not read crc"},
        {"header expected, none given", abc, helloPatch, true, false, {}, "Corrupt patch header"},
    };
}

TEST(BlockDiffApplyTest, HandMadePatches)
{
    for (const ApplyRow& row : applyRows()) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        ByteSource patch(row.patch.data(), row.patch.size());
        ByteSink output;
        const bool ok = ApplyBlockDiff(ByteSource(row.old.data(), row.old.size()), &patch, &output,
                                       row.header);
        EXPECT_EQ(ok, row.ok);
        if (row.ok) {
            EXPECT_EQ(toBytes(output), row.expected);
            EXPECT_TRUE(patch.empty());
        }
        const std::vector<std::string> expectedErrors =
            row.error ? std::vector<std::string>{row.error} : std::vector<std::string>{};
        EXPECT_EQ(log.errors, expectedErrors);
        // Nothing here can produce more than a few bytes, whatever size the patch declares.
        EXPECT_LE(output.failed() ? 0 : output.capacity(), 4096u);
    }
}

// Old data in two segments read as one: every row without header gives the same result, output
// and messages wherever the old data are split.
TEST(BlockDiffApplyTest, OldDataSplitAnywhereReadAsOne)
{
    for (const ApplyRow& row : applyRows()) {
        if (row.header)
            continue;
        for (size_t split = 0; split <= row.old.size(); ++split) {
            SCOPED_TRACE(std::string(row.name) + ", split at " + std::to_string(split));
            LogCapture log;
            ByteSource patch(row.patch.data(), row.patch.size());
            ByteSink output;
            const bool ok = ApplyBlockDiffOverSegments(ByteSource(row.old.data(), split),
                                                       ByteSource(row.old.data() + split,
                                                                  row.old.size() - split),
                                                       &patch, &output);
            EXPECT_EQ(ok, row.ok);
            if (row.ok) {
                EXPECT_EQ(toBytes(output), row.expected);
                EXPECT_TRUE(patch.empty());
            }
            EXPECT_EQ(log.errors.size(), row.error ? 1u : 0u);
        }
    }
}

// Copies and seeks across the boundary between two segments that do not lie side by side.
TEST(BlockDiffApplyTest, CopiesAcrossTheSegmentBoundary)
{
    const Bytes first = {1, 2, 3};
    const Bytes second = {4, 5, 6};
    const struct {
        const char* name;
        std::vector<Triple> triples;
        Bytes expected; // empty: the patch fails
    } rows[] = {
        {"copy straddling the boundary", {{0, 0, 1}, {4, 0, 0}}, {2, 3, 4, 5}},
        {"seek into the second, then back into the first",
         {{0, 0, 4}, {1, 0, -5}, {2, 0, 0}}, {5, 1, 2}},
        {"copy ending at the end of the second", {{0, 0, 2}, {4, 0, 0}}, {3, 4, 5, 6}},
        {"copy one byte past the end of the second", {{0, 0, 2}, {5, 0, 0}}, {}},
        {"seek past the second, then copy 0", {{0, 0, 7}, {0, 1, 0}}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        size_t copied = 0;
        for (const Triple& t : row.triples)
            copied += size_t(t.copy);
        const uint32_t newSize = row.expected.empty() ? uint32_t(copied + 1) : uint32_t(copied);
        const Bytes patchBytes = plainPatch(newSize, row.triples, Bytes(copied, 0), {9});
        ByteSource patch(patchBytes.data(), patchBytes.size());
        ByteSink output;
        const bool ok =
            ApplyBlockDiffOverSegments(ByteSource(first.data(), first.size()),
                                       ByteSource(second.data(), second.size()), &patch, &output);
        EXPECT_EQ(ok, !row.expected.empty());
        if (ok) {
            EXPECT_EQ(toBytes(output), row.expected);
        }
    }
}

TEST(BlockDiffGenerateTest, RefusesInputsOf2GiB)
{
    struct Row {
        size_t oldLength;
        size_t newLength;
        const char* error;
    };
    const size_t limit = size_t(1) << 31;
    const Row rows[] = {
        {limit - 1, limit - 1, nullptr},
        {limit, 0, " old stream too large"},
        {0, limit, " new stream too large"},
        {limit + 5, limit + 5, " old stream too large"},
    };
    for (const Row& row : rows) {
        LogCapture log;
        EXPECT_EQ(BlockDiffInputsFit(row.oldLength, row.newLength), row.error == nullptr);
        EXPECT_EQ(log.errors, row.error ? std::vector<std::string>{row.error}
                                        : std::vector<std::string>{});
    }
}

Bytes randomBytes(std::mt19937* rng, size_t length, int alphabet = 256)
{
    Bytes bytes(length);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>((*rng)() % alphabet);
    return bytes;
}

Bytes proseBytes(size_t words, uint32_t seed)
{
    static const char* const kWords[] = {"update", "client", "the", "patch", "of", "bundle",
                                         "version", "file", "a", "download", "and", "channel"};
    std::mt19937 rng(seed);
    std::string text;
    for (size_t i = 0; i < words; ++i)
        text += std::string(kWords[rng() % 12]) + (i % 11 == 10 ? ".\n" : " ");
    return fromText(text);
}

// Looks like code: short records with little-endian addresses that move when code is inserted.
Bytes programLike(size_t length, uint32_t seed, uint32_t shiftAfter, uint32_t shift)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    bytes.reserve(length + 8);
    while (bytes.size() < length) {
        const uint32_t opcode = rng() % 24;
        uint32_t target = rng() % 4096 * 16;
        if (target >= shiftAfter)
            target += shift;
        bytes.push_back(static_cast<uint8_t>(0x40 + opcode));
        for (int k = 0; k < 4; ++k)
            bytes.push_back(static_cast<uint8_t>(target >> (8 * k)));
        bytes.push_back(static_cast<uint8_t>(rng() % 4));
    }
    bytes.resize(length);
    return bytes;
}

Bytes edited(Bytes data, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; i < 12; ++i) {
        const size_t at = rng() % (data.size() + 1);
        switch (i % 3) {
        case 0:
            {
                const Bytes inserted = randomBytes(&rng, 1 + rng() % 300);
                data.insert(data.begin() + long(at), inserted.begin(), inserted.end());
            }
            break;
        case 1:
            data.erase(data.begin() + long(at), data.begin() + long(std::min(data.size(), at + 1 + rng() % 300)));
            break;
        default:
            if (at < data.size())
                data[at] ^= 0x5A;
        }
    }
    return data;
}

struct RoundTripRow {
    const char* name;
    Bytes old;
    Bytes updated;
    size_t compressedLimit; // largest acceptable body-compressed patch, 0 for no limit
};

std::vector<RoundTripRow> roundTripRows()
{
    std::mt19937 rng(1234);
    const Bytes prose = proseBytes(3000, 1);
    const Bytes random = randomBytes(&rng, 40000);
    // Code moved in the first 300 KiB, a block inserted, a block removed.
    const Bytes big = programLike(2 << 20, 77, 1 << 30, 0);
    Bytes bigMoved = programLike(300000, 77, 20000, 0x400);
    bigMoved.insert(bigMoved.end(), big.begin() + 300000, big.end());
    bigMoved.insert(bigMoved.begin() + 120000, random.begin(), random.begin() + 1024);
    bigMoved.erase(bigMoved.begin() + 1500000, bigMoved.begin() + 1550000);
    Bytes zerosGrown(70000, 0);
    zerosGrown.insert(zerosGrown.begin() + 35000, 5, 1);
    return {
        {"both empty", {}, {}, 0},
        {"empty old", {}, prose, 0},
        {"empty new", prose, {}, 0},
        {"one byte each", {7}, {8}, 0},
        {"identical", random, random, 200},
        {"unrelated random", random, randomBytes(&rng, 30000), 0},
        {"text edits", prose, edited(prose, 5), 3000},
        {"binary edits", random, edited(random, 6), 3000},
        {"repeated pattern", Bytes(50000, 0xAB), Bytes(60000, 0xAB), 200},
        {"zeros with an island", Bytes(70000, 0), zerosGrown, 200},
        {"a few MiB of moved code", big, bigMoved, bigMoved.size() / 100},
    };
}

// Generates with every method, with and without header, and applies the result. The old data
// sit behind a prefix that the source has already passed, the output sink already holds bytes,
// and the patch is followed by bytes that must stay unread.
TEST(BlockDiffRoundTripTest, EveryMethodWithAndWithoutHeader)
{
    const Bytes junk = fromText("skipped");
    const Bytes trailer = fromText("trailing bytes");
    for (const RoundTripRow& row : roundTripRows()) {
        const Bytes oldWithPrefix = concat(junk, row.old);
        for (BlockDiffMethod method : {METHOD_NONE, METHOD_LZMA2_SECTIONS, METHOD_LZMA2_BODY}) {
            for (bool header : {false, true}) {
                SCOPED_TRACE(std::string(row.name) + ", method " + std::to_string(method) +
                             (header ? ", header" : ""));
                LogCapture log;
                ByteSource old(oldWithPrefix.data(), oldWithPrefix.size());
                old.skip(junk.size());
                ByteSink patchSink;
                patchSink.write("P", 1);
                ASSERT_TRUE(GenerateBlockDiff(old, ByteSource(row.updated.data(), row.updated.size()),
                                              &patchSink, header, method));
                const Bytes patch = concat(toBytes(patchSink), trailer);
                if (method == METHOD_LZMA2_BODY && row.compressedLimit != 0) {
                    EXPECT_LE(patch.size(), row.compressedLimit);
                }

                ByteSource patchSource(patch.data() + 1, patch.size() - 1);
                ByteSink output;
                output.write("out:", 4);
                ASSERT_TRUE(ApplyBlockDiff(old, &patchSource, &output, header));
                EXPECT_EQ(toBytes(output), concat(fromText("out:"), row.updated));
                EXPECT_EQ(Bytes(patchSource.current(), patchSource.end()), trailer);
                EXPECT_TRUE(log.errors.empty());
            }
        }
    }
}

// A caller may unmap the inputs as soon as the generator says it is done with them: spoiling
// them at that moment must leave the patch as it would have been.
TEST(BlockDiffGenerateTest, ReadsNoInputAfterSayingItIsDone)
{
    for (const RoundTripRow& row : roundTripRows()) {
        if (row.old.size() > (1 << 20))
            continue; // the large row adds time, not cases
        for (BlockDiffMethod method : {METHOD_NONE, METHOD_LZMA2_SECTIONS, METHOD_LZMA2_BODY}) {
            SCOPED_TRACE(std::string(row.name) + ", method " + std::to_string(method));
            Bytes old = row.old;
            Bytes updated = row.updated;
            int calls = 0;
            const auto spoil = [&] {
                ++calls;
                std::fill(old.begin(), old.end(), 0xEE);
                std::fill(updated.begin(), updated.end(), 0xEE);
            };
            ByteSink spoiled;
            ByteSink plain;
            ASSERT_TRUE(GenerateBlockDiff(ByteSource(old.data(), old.size()),
                                          ByteSource(updated.data(), updated.size()), &spoiled,
                                          true, method, nullptr, spoil));
            ASSERT_TRUE(GenerateBlockDiff(ByteSource(row.old.data(), row.old.size()),
                                          ByteSource(row.updated.data(), row.updated.size()),
                                          &plain, true, method));
            EXPECT_EQ(calls, 1);
            EXPECT_EQ(toBytes(spoiled), toBytes(plain));
        }
    }
}

TEST(BlockDiffGenerateTest, ReportsProgressNowAndThen)
{
    std::mt19937 rng(3);
    const Bytes old = randomBytes(&rng, 1 << 18, 4);
    const Bytes updated = edited(old, 9);
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    ByteSink patch;
    ASSERT_TRUE(GenerateBlockDiff(ByteSource(old.data(), old.size()),
                                  ByteSource(updated.data(), updated.size()), &patch, false,
                                  METHOD_NONE,
                                  [&](uint64_t done, uint64_t total) { calls.emplace_back(done, total); }));
    ASSERT_GE(calls.size(), 2u);
    EXPECT_LE(calls.size(), 300u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, updated.size());
        if (i > 0) {
            EXPECT_LE(calls[i - 1].first, calls[i].first);
        }
    }
    EXPECT_EQ(calls.back().first, updated.size());
}

} // namespace
} // namespace deltapatch
