// Tests of the block diff realignment: pieces read from and written as block diffs round-trip
// through the applier, a table whose every entry moved is copied, not inserted, and of several
// scans the cheapest is kept.
#include "deltapatch/extrarealignment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "deltapatch/blockdiff.h"
#include "deltapatch/blockdiffvariants.h"
#include "deltapatch/bodyblobwriter.h"
#include "deltapatch/lzma2blob.h"

namespace deltapatch {
namespace {

ByteSource sourceOf(const std::string& bytes)
{
    return ByteSource(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string applied(const std::string& old, const ByteSink& patch)
{
    ByteSource source = patch.asSource();
    ByteSink output;
    EXPECT_TRUE(ApplyBlockDiff(sourceOf(old), &source, &output, false));
    EXPECT_TRUE(source.empty());
    return std::string(reinterpret_cast<const char*>(output.data()), output.length());
}

int64_t insertedBytes(const std::vector<DiffPiece>& pieces)
{
    int64_t bytes = 0;
    for (const DiffPiece& piece : pieces)
        bytes += piece.oldStart == DiffPiece::kInserted ? piece.length : 0;
    return bytes;
}

// Sorted 32-bit entries of a lookup table with 16 pseudo-random bits in each, all moved by
// `shift`: no long stretch of a moved table matches its old place exactly.
std::string table(uint32_t shift)
{
    std::string bytes;
    uint32_t state = 12345;
    for (uint32_t i = 0; i < 2048; ++i) {
        state = state * 1103515245u + 12345u;
        const uint32_t value = (i << 16 | (state >> 16)) + shift;
        bytes.append(reinterpret_cast<const char*>(&value), 4);
    }
    return bytes;
}

TEST(ExtraRealignmentTest, PiecesRoundTripThroughTheApplier)
{
    const std::string old = "0123456789abcdefghijklmnopqrstuvwxyz";
    struct Row {
        const char* what;
        std::string newData;
        std::vector<DiffPiece> pieces;
    };
    const int64_t in = DiffPiece::kInserted;
    const std::vector<Row> rows = {
        {"empty", "", {}},
        {"inserted only", "XYZ", {{0, 3, in}}},
        {"first copy away from old start", "klmnXY", {{0, 4, 20}, {4, 2, in}}},
        {"insertion first", "XYabc", {{0, 2, in}, {2, 3, 10}}},
        {"two copies back to back", "uvw0123", {{0, 3, 30}, {3, 4, 0}}},
        {"copy with differences at the old end", "xyZ", {{0, 3, 33}}},
        {"seek backwards", "wxyz12", {{0, 4, 32}, {4, 2, 1}}},
    };
    for (const Row& row : rows) {
        ByteSink patch;
        ASSERT_TRUE(WritePiecesAsBlockDiff(row.pieces, sourceOf(old), sourceOf(row.newData), &patch))
            << row.what;
        EXPECT_EQ(applied(old, patch), row.newData) << row.what;
    }
}

TEST(ExtraRealignmentTest, ReadsOnlyTriplesThatStayInside)
{
    struct Row {
        const char* what;
        std::vector<int32_t> triples;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"copy and insert", {4, 2, 0}, true},
        {"negative copy", {-1, 7, 0}, false},
        {"negative extra", {6, -1, 0}, false},
        {"copy past the old end", {3, 0, 8, 3, 0, 0}, false},
        {"seek before the old start", {2, 0, -5, 4, 0, 0}, false},
        {"too short", {3, 0, 0}, false},
        {"too long", {6, 1, 0}, false},
    };
    for (const Row& row : rows) {
        ByteSink control;
        for (int32_t value : row.triples)
            ASSERT_TRUE(control.writeVarint32Signed(value));
        std::vector<DiffPiece> pieces;
        EXPECT_EQ(PiecesFromControl(control.asSource(), 10, 6, &pieces), row.valid) << row.what;
    }
}

TEST(ExtraRealignmentTest, CopiesAMovedTableInsteadOfInsertingIt)
{
    const std::string head(4096, 'h');
    const std::string tail = "tail of the data";
    const std::string old = head + table(0) + tail;
    const std::string newData = head + table(3) + tail;
    const int64_t tableStart = int64_t(head.size());
    const int64_t tailStart = tableStart + int64_t(table(0).size());
    const std::vector<DiffPiece> scanned = {{0, tableStart, 0},
                                            {tableStart, tailStart - tableStart, DiffPiece::kInserted},
                                            {tailStart, int64_t(tail.size()), tailStart}};
    const std::vector<DiffPiece> pieces = RealignInsertions(scanned, sourceOf(old), sourceOf(newData));
    // At most a few differing bytes at the table's edges stay inserted.
    EXPECT_LT(insertedBytes(pieces), 16);
    ByteSink fromPieces;
    ASSERT_TRUE(WritePiecesAsBlockDiff(pieces, sourceOf(old), sourceOf(newData), &fromPieces));
    EXPECT_EQ(applied(old, fromPieces), newData);
    ByteSink patch;
    ASSERT_TRUE(GenerateRealignedBlockDiff(sourceOf(old), sourceOf(newData), &patch, nullptr));
    EXPECT_EQ(applied(old, patch), newData);
}

TEST(ExtraRealignmentTest, LeavesUnrelatedInsertionsAlone)
{
    const std::string head(2048, 'a');
    const std::string old = head + table(0);
    std::string inserted = table(7).substr(0, 1024);
    for (char& c : inserted)
        c = static_cast<char>(c ^ 0x5A);
    const std::string newData = head + inserted + table(0);
    const int64_t tableStart = int64_t(head.size() + inserted.size());
    const std::vector<DiffPiece> scanned = {
        {0, int64_t(head.size()), 0},
        {int64_t(head.size()), int64_t(inserted.size()), DiffPiece::kInserted},
        {tableStart, int64_t(table(0).size()), int64_t(head.size())}};
    const std::vector<DiffPiece> pieces = RealignInsertions(scanned, sourceOf(old), sourceOf(newData));
    EXPECT_GE(insertedBytes(pieces), 1000);
}

TEST(BodyBlobWriterTest, ContainerReaderReadsBodyBlobs)
{
    for (const std::string& data : {std::string(), std::string("x"), table(5) + std::string(100000, '\0')}) {
        ByteSink blob;
        ASSERT_TRUE(WriteBodyLzma2Blob(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                       &blob));
        ByteSource source = blob.asSource();
        ByteSink decoded;
        ASSERT_TRUE(ReadLzma2Blob(&source, &decoded)) << data.size();
        EXPECT_TRUE(source.empty());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoded.data()), decoded.length()),
                  data);
    }
}

// Old data of pseudo-random bytes; the new data inserts a byte every 40 to 70 bytes and
// changes one byte in three places of four in between, so that scans with different alignment
// thresholds split it differently.
void editedPair(std::string* old, std::string* newData)
{
    uint32_t state = 99;
    auto next = [&state]() { return (state = state * 1103515245u + 12345u) >> 16; };
    for (int i = 0; i < 30000; ++i)
        old->push_back(char(next()));
    for (size_t at = 0; at < old->size();) {
        const size_t run = std::min<size_t>(40 + next() % 31, old->size() - at);
        std::string piece = old->substr(at, run);
        if (next() % 4 != 0)
            piece[next() % piece.size()] ^= 0x5A;
        *newData += piece;
        newData->push_back(char(next()));
        at += run;
    }
}

TEST(BlockDiffVariantsTest, KeepsTheCandidateOfLowestCostAndItApplies)
{
    std::string old;
    std::string newData;
    editedPair(&old, &newData);
    ByteSink realigned;
    ASSERT_TRUE(GenerateRealignedBlockDiff(sourceOf(old), sourceOf(newData), &realigned, nullptr));
    const std::string plainScan = applied(old, realigned);
    ASSERT_EQ(plainScan, newData);

    struct Row {
        const char* what;
        bool preferLonger;
        size_t variantLimit;
    };
    const Row rows[] = {{"shortest", false, SIZE_MAX},
                        {"longest", true, SIZE_MAX},
                        {"new data above the limit", false, newData.size() - 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<size_t> lengths;
        const DiffCost cost = [&](const ByteSink& candidate) {
            lengths.push_back(candidate.length());
            return row.preferLonger ? SIZE_MAX - candidate.length() : candidate.length();
        };
        ByteSink chosen;
        ASSERT_TRUE(GenerateSmallestBlockDiff(sourceOf(old), sourceOf(newData), &chosen, cost,
                                              row.variantLimit, nullptr));
        EXPECT_EQ(applied(old, chosen), newData);
        if (row.variantLimit < newData.size()) {
            EXPECT_TRUE(lengths.empty());
            EXPECT_EQ(chosen.length(), realigned.length());
            continue;
        }
        ASSERT_GT(lengths.size(), 1u);
        EXPECT_EQ(lengths[0], realigned.length()); // the default scan comes first
        EXPECT_NE(*std::min_element(lengths.begin(), lengths.end()),
                  *std::max_element(lengths.begin(), lengths.end()));
        EXPECT_EQ(chosen.length(), row.preferLonger
                                       ? *std::max_element(lengths.begin(), lengths.end())
                                       : *std::min_element(lengths.begin(), lengths.end()));
    }
}

// A diff of one copy leaves no choice: the other scans are not tried.
TEST(BlockDiffVariantsTest, TriesNothingElseForASingleCopy)
{
    const std::string data = table(0);
    size_t calls = 0;
    const DiffCost cost = [&calls](const ByteSink& candidate) {
        ++calls;
        return candidate.length();
    };
    ByteSink chosen;
    ASSERT_TRUE(
        GenerateSmallestBlockDiff(sourceOf(data), sourceOf(data), &chosen, cost, SIZE_MAX, nullptr));
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(applied(data, chosen), data);
}

} // namespace
} // namespace deltapatch
