// Tests of ContentChecksum and of reading and writing LZMA2 blobs.
#include "deltapatch/lzma2blob.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "capturedlog.h"
#include "deltapatch/bodyblobwriter.h"
#include "deltapatch/checksum.h"
#include "deltapatch/lzma2blobreader.h"
#include "testfiles.h"

namespace deltapatch {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const ByteSink& sink)
{
    return Bytes(sink.data(), sink.data() + sink.length());
}

using testing::randomBytes;

// Text-like data with long repeats and some noise, so that matches reach far back.
Bytes mixedBytes(size_t n)
{
    const Bytes noise = randomBytes(4096, 7);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = (i / 4096) % 3 == 0 ? noise[i % 4096] : static_cast<uint8_t>("orvane"[i % 6]);
    return out;
}

Bytes blobOf(const Bytes& data)
{
    ByteSink sink;
    EXPECT_TRUE(WriteLzma2Blob(data.data(), data.size(), &sink));
    return bytesOf(sink);
}

// Offset of the raw LZMA2 stream inside a blob: property byte plus the size varint.
size_t streamStart(const Bytes& blob)
{
    size_t i = 1;
    while (blob[i] & 0x80)
        ++i;
    return i + 1;
}

TEST(ContentChecksum, IsTheInvertedStandardCrc32)
{
    const struct {
        std::string data;
        uint32_t expected;
    } rows[] = {
        {"", 0xFFFFFFFFu},
        {"abc", 0xCADBBE3Du},
        {"123456789", ~0xCBF43926u},
    };
    for (const auto& row : rows) {
        const auto* data = reinterpret_cast<const uint8_t*>(row.data.data());
        EXPECT_EQ(ContentChecksum(data, row.data.size()), row.expected) << '"' << row.data << '"';
    }
}

// Bit by bit, the definition itself: register starts all ones, no final inversion.
uint32_t referenceChecksum(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

// Word-at-a-time and folding CRC code have separate paths for short inputs, unaligned heads,
// one block, four blocks and tails.
TEST(ContentChecksum, MatchesTheDefinitionAtEveryAlignment)
{
    const Bytes data = randomBytes(4096 + 3 + 8, 11);
    for (size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 80, 127, 128, 143, 200, 4096 + 3}) {
        for (size_t offset = 0; offset < 8; ++offset) {
            EXPECT_EQ(ContentChecksum(data.data() + offset, length),
                      referenceChecksum(data.data() + offset, length))
                << "length " << length << " offset " << offset;
        }
    }
}

// Each blob is followed by bytes of the enclosing format, which must stay in the source.
TEST(Lzma2Blob, RoundTripLeavesTrailingBytes)
{
    const Bytes trailer = {0xAA, 0xBB, 0xCC};
    const struct {
        const char* name;
        Bytes data;
    } rows[] = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"small", mixedBytes(1000)},
        {"incompressible", randomBytes(200000, 1)},
        {"large", mixedBytes(3 << 20)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes input = blobOf(row.data);
        input.insert(input.end(), trailer.begin(), trailer.end());
        ByteSource source(input.data(), input.size());
        ByteSink out;
        ASSERT_TRUE(ReadLzma2Blob(&source, &out));
        EXPECT_TRUE(bytesOf(out) == row.data);
        EXPECT_EQ(Bytes(source.current(), source.end()), trailer);
    }
}

TEST(Lzma2Blob, ReaderAppendsAndStreamWriterConsumesItsSource)
{
    const Bytes data = mixedBytes(3000);
    ByteSource source(data.data(), data.size());
    ASSERT_TRUE(source.skip(1000));
    ByteSink blob;
    ASSERT_TRUE(WriteLzma2Blob(&source, &blob));
    EXPECT_TRUE(source.empty());

    ByteSink out;
    ASSERT_TRUE(out.write("head", 4));
    ByteSource blobSource = blob.asSource();
    ASSERT_TRUE(ReadLzma2Blob(&blobSource, &out));
    Bytes expected = {'h', 'e', 'a', 'd'};
    expected.insert(expected.end(), data.begin() + 1000, data.end());
    EXPECT_TRUE(bytesOf(out) == expected);
}

// The property byte sets the decoder's dictionary, so a small input must declare a small one.
TEST(Lzma2Blob, PropertyByteFollowsInputSize)
{
    const struct {
        size_t length;
        uint8_t property;
    } rows[] = {
        {0, 0},              // 4 KiB, the smallest
        {4096, 0},           // 4 KiB
        {4097, 1},           // 6 KiB
        {100000, 10},        // 128 KiB
        {(1 << 20) + 1, 17}, // 1.5 MiB
    };
    for (const auto& row : rows) {
        const Bytes blob = blobOf(Bytes(row.length, 'x'));
        EXPECT_EQ(blob[0], row.property) << row.length << " bytes";
    }
}

// A dictionary limit caps the property byte (rounded down to a size it can express) and the
// blob still reads back; ensemble bodies are written under such a cap.
TEST(Lzma2Blob, DictionaryLimitCapsThePropertyByte)
{
    const Bytes data = mixedBytes(size_t(3) << 20);
    const struct {
        uint32_t limit;
        uint8_t property;
    } rows[] = {
        {0, 19},                       // 3 MiB, fitted to the input
        {uint32_t(1) << 20, 16},       // 1 MiB
        {(uint32_t(2) << 20) - 1, 17}, // 1.5 MiB: 2 MiB minus a byte rounds down
        {uint32_t(2) << 20, 18},       // 2 MiB
        {1, 0},                        // 4 KiB, the smallest
    };
    for (const auto& row : rows) {
        Lzma2Tuning tuning;
        tuning.dictionaryLimit = row.limit;
        ByteSink sink;
        ASSERT_TRUE(WriteLzma2Blob(data.data(), data.size(), &sink, tuning));
        EXPECT_EQ(sink.data()[0], row.property) << row.limit;
        ByteSource source = sink.asSource();
        ByteSink decoded;
        ASSERT_TRUE(ReadLzma2Blob(&source, &decoded));
        EXPECT_TRUE(bytesOf(decoded) == data) << row.limit;
    }
    const Bytes zeros(size_t(5) << 20, 0);
    ByteSink body;
    ASSERT_TRUE(WriteBodyLzma2Blob(zeros.data(), zeros.size(), &body));
    EXPECT_EQ(body.data()[0], 20); // 4 MiB
}

// Hand-made raw streams: chunk 01 = uncompressed with dictionary reset, 00 = end of stream.
TEST(Lzma2Blob, MalformedBlobsFailWithTheirMessage)
{
    const Bytes hello = {0x01, 0x00, 0x04, 'h', 'e', 'l', 'l', 'o'};
    auto blob = [&](uint8_t property, uint8_t size, Bytes stream) {
        stream.insert(stream.begin(), {property, size});
        return stream;
    };
    auto withEnd = [](Bytes b) {
        b.push_back(0x00);
        return b;
    };
    const struct {
        const char* name;
        Bytes input;
        const char* message;
    } rows[] = {
        {"no property", {}, "Error read LZMA2 properties"},
        {"no size", {0x00}, "Error read LZMA2 unpack size"},
        {"size cut short", {0x00, 0x85}, "Error read LZMA2 unpack size"},
        {"property 41", blob(41, 5, withEnd(hello)), "Error uncompressing data 4"},
        {"property 255", blob(255, 5, withEnd(hello)), "Error uncompressing data 4"},
        {"declared larger", blob(0, 6, withEnd(hello)), "Error uncompressing data 0"},
        {"declared smaller", blob(0, 4, withEnd(hello)), "Error uncompressing data 1"},
        {"no end marker", blob(0, 5, hello), "Error uncompressing data 6"},
        {"truncated chunk", blob(0, 5, Bytes(hello.begin(), hello.end() - 2)),
         "Error uncompressing data 6"},
        {"bad control byte", blob(0, 5, withEnd({0x03, 0x00, 0x00, 'x'})),
         "Error uncompressing data 1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CapturedLog log;
        ByteSource source(row.input.data(), row.input.size());
        ByteSink out;
        EXPECT_FALSE(ReadLzma2Blob(&source, &out));
        EXPECT_EQ(log.messages(), std::vector<std::string>{row.message});
    }
}

// Ensemble bodies are taken in pieces through one decoder: any split into reads and skips gives
// back the same bytes, and the end of the stream is checked only once everything is taken.
TEST(Lzma2BlobReader, PiecesReadBackTheBlob)
{
    const Bytes data = mixedBytes(300000);
    Bytes blob = blobOf(data);
    const size_t blobLength = blob.size();
    blob.push_back(0xAA); // bytes of the enclosing format
    // Pieces alternate between read and skip; whatever is left at the end is read.
    const std::vector<std::vector<size_t>> splits = {
        {}, {0, 1, 4095, 4096, 70000}, {1, 299998}, {200000, 100000}};
    for (const auto& split : splits) {
        SCOPED_TRACE(split.size());
        Lzma2BlobReader reader;
        ASSERT_TRUE(reader.open(ByteSource(blob.data(), blob.size())));
        ASSERT_EQ(reader.declared(), data.size());
        Bytes expected;
        ByteSink out;
        size_t at = 0;
        for (size_t i = 0; i < split.size(); ++i) {
            if (i % 2 == 0) {
                ASSERT_TRUE(reader.read(split[i], &out));
                expected.insert(expected.end(), data.begin() + at, data.begin() + at + split[i]);
            } else {
                ASSERT_TRUE(reader.skip(split[i]));
            }
            at += split[i];
        }
        ASSERT_EQ(reader.left(), data.size() - at);
        ASSERT_TRUE(reader.read(reader.left(), &out));
        expected.insert(expected.end(), data.begin() + at, data.end());
        EXPECT_TRUE(bytesOf(out) == expected);
        EXPECT_TRUE(reader.finish());
        EXPECT_EQ(reader.consumed(), blobLength);
    }
}

// A failure is logged once and sticks: the applier stops at the first one, but the body's
// final check must not pass after it.
TEST(Lzma2BlobReader, FailuresStick)
{
    // An uncompressed chunk "hello" cut after "hel", and the same chunk whole.
    const Bytes cutShort = {0x00, 5, 0x01, 0x00, 0x04, 'h', 'e', 'l'};
    const Bytes whole = {0x00, 5, 0x01, 0x00, 0x04, 'h', 'e', 'l', 'l', 'o', 0x00};
    const struct {
        const char* name;
        Bytes blob;
        size_t firstRead;
        const char* message;
    } rows[] = {
        {"input ends inside the stream", cutShort, 4, "Error uncompressing data 6"},
        {"more than is left", whole, 6, "Error uncompressing data 5"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CapturedLog log;
        Lzma2BlobReader reader;
        ASSERT_TRUE(reader.open(ByteSource(row.blob.data(), row.blob.size())));
        ByteSink out;
        ASSERT_TRUE(reader.read(2, &out));
        EXPECT_FALSE(reader.read(row.firstRead - 2, &out));
        EXPECT_FALSE(reader.read(0, &out));
        EXPECT_FALSE(reader.finish());
        EXPECT_EQ(log.messages(), std::vector<std::string>{row.message});
    }
}

TEST(Lzma2Blob, CorruptedEncoderOutputFails)
{
    // Compressible with some noise, so that the flips land in LZMA-coded data rather than in
    // a stored chunk.
    Bytes data = mixedBytes(8000);
    for (size_t i = 0; i < data.size(); i += 37)
        data[i] = static_cast<uint8_t>(i * 131);
    const Bytes good = blobOf(data);
    const size_t start = streamStart(good);

    CapturedLog log;
    Bytes truncated(good.begin(), good.end() - 3);
    ByteSource source(truncated.data(), truncated.size());
    ByteSink out;
    EXPECT_FALSE(ReadLzma2Blob(&source, &out));

    // The first chunk header must announce a dictionary reset; without it the data is corrupt.
    Bytes flipped = good;
    flipped[start] ^= 0x80;
    source = ByteSource(flipped.data(), flipped.size());
    out.clear();
    EXPECT_FALSE(ReadLzma2Blob(&source, &out));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Error uncompressing data 6",
                                                        "Error uncompressing data 1"}));

    // LZMA2 carries no checksum, so a flipped bit may decode; it must still never yield a
    // length other than the declared one (the container's checksum catches the rest).
    const size_t bits = (good.size() - start) * 8;
    for (size_t bit = 0; bit < bits; bit += bits / 400 + 1) {
        Bytes damaged = good;
        damaged[start + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        ByteSource s(damaged.data(), damaged.size());
        ByteSink o;
        if (ReadLzma2Blob(&s, &o)) {
            EXPECT_EQ(o.length(), data.size()) << "bit " << bit;
        }
    }
}

// A tiny blob may claim 4 GiB and the largest dictionary; memory must follow the input.
TEST(Lzma2Blob, HugeDeclaredSizeDoesNotDriveAllocation)
{
    const Bytes header = {40, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    const struct {
        const char* name;
        Bytes stream;
        const char* message;
    } rows[] = {
        {"ends early", {0x01, 0x00, 0x09, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 0x00},
         "Error uncompressing data 0"},
        {"chunk claims 2 MiB", {0xFF, 0xFF, 0xFF, 0x00, 0x07, 0x5D, 0, 0, 0, 0, 0, 0, 0, 0},
         "Error uncompressing data 6"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes input = header;
        input.insert(input.end(), row.stream.begin(), row.stream.end());
        ASSERT_EQ(input.size(), 20u);
        CapturedLog log;
        ByteSource source(input.data(), input.size());
        ByteSink out;
        EXPECT_FALSE(ReadLzma2Blob(&source, &out));
        EXPECT_EQ(log.messages(), std::vector<std::string>{row.message});
        EXPECT_LT(out.capacity(), size_t(8) << 20);
    }
}

// A few KiB of garbage could, in theory, expand to gigabytes; the reservation must still stay
// near what real data needs, growing only with real output.
TEST(Lzma2Blob, KilobytesOfGarbageDoNotReserveGigabytes)
{
    Bytes input = {40, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x00, 0x00, 'x', 0x00};
    input.resize(8192, 0xA5); // trailing bytes count as input the stream might still use
    ByteSource source(input.data(), input.size());
    ByteSink out;
    EXPECT_FALSE(ReadLzma2Blob(&source, &out));
    EXPECT_LE(out.capacity(), size_t(64) << 20);
}

// Honest containers reserve their declared size once, however large their output.
TEST(Lzma2Blob, HonestBlobReservesExactlyItsSize)
{
    const Bytes data(3 << 20, 'z');
    ByteSink blob;
    ASSERT_TRUE(WriteLzma2Blob(data.data(), data.size(), &blob));
    ByteSource source = blob.asSource();
    ByteSink out;
    ASSERT_TRUE(ReadLzma2Blob(&source, &out));
    EXPECT_EQ(out.length(), data.size());
    EXPECT_LE(out.capacity(), data.size() + 256);
}

TEST(Lzma2Blob, WriterRefusesInputBeyondTheSizeField)
{
    // The length is checked before any byte is read, so a short buffer is enough.
    const uint8_t byte = 0;
    CapturedLog log;
    ByteSink sink;
    EXPECT_FALSE(WriteLzma2Blob(&byte, size_t(1) << 32, &sink));
    EXPECT_EQ(sink.length(), 0u);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Error LZMA2 input too large"});
}

} // namespace
} // namespace deltapatch
