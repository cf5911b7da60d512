// Tests of the engine's byte cursor, byte buffer, varint32 coding, stream sets and growable arrays.
#include "deltapatch/streams.h"

#include <gtest/gtest.h>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "deltapatch/bufferallocation.h"
#include "log/log.h"

// The allocation-failure cases ask for impossible sizes; under AddressSanitizer those must
// come back as null, as they do from the plain allocator.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace deltapatch {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const ByteSink& sink)
{
    return Bytes(sink.data(), sink.data() + sink.length());
}

Bytes bytesOf(const ByteSource& source)
{
    return Bytes(source.current(), source.end());
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kMagic = {0xEA, 0x9A, 0xCA, 0x09};
// A size that no allocator can satisfy.
const size_t kImpossible = SIZE_MAX / 2;

// --- varint32 --------------------------------------------------------------------------------

TEST(Varint32, Read)
{
    struct Row {
        Bytes in;
        bool ok;
        uint32_t value;
        size_t consumed;
    };
    const Row rows[] = {
        {{}, false, 0, 0},
        {{0x00}, true, 0, 1},
        {{0x7F}, true, 127, 1},
        {{0xAC, 0x02, 0xFF}, true, 300, 2}, // stops after the value
        {{0x80, 0x80, 0x80, 0x80, 0x10}, true, 0, 5}, // only the low four bits of byte five count
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true, 0xFFFFFFFFu, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 0xFFFFFFFFu, 5},
        {{0x80, 0x80, 0x80, 0x80, 0x80}, false, 0, 0}, // a sixth byte is never read
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, false, 0, 0},
        {{0x80, 0x80}, false, 0, 0}, // truncated
    };
    for (const Row& row : rows) {
        ByteSource source(row.in.data(), row.in.size());
        uint32_t value = 12345;
        EXPECT_EQ(source.readVarint32(&value), row.ok) << ::testing::PrintToString(row.in);
        if (row.ok) {
            EXPECT_EQ(value, row.value) << ::testing::PrintToString(row.in);
        }
        EXPECT_EQ(row.in.size() - source.remaining(), row.consumed) << ::testing::PrintToString(row.in);
    }
}

TEST(Varint32, WriteAndReadBack)
{
    struct Row {
        uint32_t value;
        Bytes out;
    };
    const Row rows[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {300, {0xAC, 0x02}},
        {0x0FFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}},
        {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const Row& row : rows) {
        ByteSink sink;
        ASSERT_TRUE(sink.writeVarint32(row.value));
        EXPECT_EQ(bytesOf(sink), row.out) << row.value;
        ByteSource source = sink.asSource();
        uint32_t back = 0;
        EXPECT_TRUE(source.readVarint32(&back) && source.empty());
        EXPECT_EQ(back, row.value);
    }
}

TEST(Varint32, SignedWriteAndReadBack)
{
    struct Row {
        int32_t value;
        Bytes out;
    };
    const Row rows[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-2, {0x03}},
        {INT32_MAX, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
        {INT32_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const Row& row : rows) {
        ByteSink sink;
        ASSERT_TRUE(sink.writeVarint32Signed(row.value));
        EXPECT_EQ(bytesOf(sink), row.out) << row.value;
        ByteSource source = sink.asSource();
        int32_t back = 0;
        EXPECT_TRUE(source.readVarint32Signed(&back) && source.empty());
        EXPECT_EQ(back, row.value);
    }
    ByteSource empty;
    int32_t value = 0;
    EXPECT_FALSE(empty.readVarint32Signed(&value));
}

// A size that does not fit in 32 bits is a programming error that ends the process.
TEST(Varint32DeathTest, SizeAbove32BitsEndsProcess)
{
    if (sizeof(size_t) <= 4)
        GTEST_SKIP() << "sizes fit in 32 bits here";
    ByteSink fits;
    ASSERT_TRUE(fits.writeSizeVarint32(0xFFFFFFFFu));
    EXPECT_EQ(fits.length(), 5u);
    struct StderrSink : LogBase {
        void flush() override {}
        void hook1(int) override {}
        void write(const std::string& message, int, const std::string&, uint64_t, const std::string&,
                   const std::string&) override
        {
            std::fputs(message.c_str(), stderr);
        }
    };
    EXPECT_EXIT(
        {
            StderrSink sink;
            ByteSink tooBig;
            tooBig.writeSizeVarint32(size_t(1) << 32);
        },
        ::testing::ExitedWithCode(1),
        "^Assertion \"value == narrowed_value\" failed at \\.\\./\\.\\./deps/deltapatch/src/lib/streams:209; $");
}

// --- ByteSource ------------------------------------------------------------------------------

TEST(ByteSource, ReadAndSkipFailWithoutConsuming)
{
    const Bytes in = {1, 2, 3, 4};
    ByteSource source(in.data(), in.size());
    uint8_t out[8] = {};
    EXPECT_FALSE(source.read(out, 5));
    EXPECT_FALSE(source.skip(5));
    EXPECT_EQ(source.remaining(), 4u);
    EXPECT_TRUE(source.read(out, 0));
    ASSERT_TRUE(source.read(out, 2));
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    EXPECT_TRUE(source.skip(2));
    EXPECT_TRUE(source.empty());
    EXPECT_FALSE(source.skip(1));
    EXPECT_FALSE(source.read(out, 1));
}

// --- ByteSink --------------------------------------------------------------------------------

TEST(ByteSink, GrowsFrom256ByDoubling)
{
    struct Row {
        std::vector<size_t> writes; // sizes written one after the other
        size_t capacity;
    };
    const Row rows[] = {
        {{1}, 256},
        {{256}, 256},
        {{257}, 512},
        {{200, 100}, 512},
        {{1000}, 1024},
        {{256, 1, 300}, 1024},
    };
    for (const Row& row : rows) {
        ByteSink sink;
        Bytes expected;
        for (size_t n : row.writes) {
            const Bytes chunk(n, static_cast<uint8_t>(expected.size() + n));
            ASSERT_TRUE(sink.write(chunk.data(), n));
            expected = concat(expected, chunk);
        }
        EXPECT_EQ(sink.capacity(), row.capacity) << ::testing::PrintToString(row.writes);
        EXPECT_EQ(bytesOf(sink), expected);
    }
}

TEST(ByteSink, ReserveKeepsContent)
{
    ByteSink sink;
    ASSERT_TRUE(sink.reserve(10));
    EXPECT_EQ(sink.capacity(), 256u);
    ASSERT_TRUE(sink.write("abc", 3));
    ASSERT_TRUE(sink.reserve(1000));
    EXPECT_EQ(sink.capacity(), 1000u);
    ASSERT_TRUE(sink.reserve(5));
    EXPECT_EQ(sink.capacity(), 1000u);
    EXPECT_EQ(bytesOf(sink), (Bytes{'a', 'b', 'c'}));
}

// Growing frees the old buffer; bytes taken from it must be copied first.
TEST(ByteSink, WriteOfItsOwnBytesWhileGrowing)
{
    ByteSink sink;
    Bytes expected;
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(sink.writeVarint32(i % 100));
        expected.push_back(static_cast<uint8_t>(i % 100));
    }
    ASSERT_EQ(sink.capacity(), sink.length());
    ASSERT_TRUE(sink.write(sink.data() + 1, 200));
    EXPECT_EQ(bytesOf(sink), concat(expected, Bytes(expected.begin() + 1, expected.begin() + 201)));
}

// Large buffers are mapped rather than malloc'd; growing into, across and within that range
// must keep every byte.
TEST(ByteSink, GrowthAcrossTheLargeBufferSizeKeepsBytes)
{
    ByteSink sink;
    Bytes chunk(100 * 1000);
    for (size_t i = 0; sink.length() < 3 * kLargeBufferSize; ++i) {
        for (size_t j = 0; j < chunk.size(); ++j)
            chunk[j] = static_cast<uint8_t>(i * 131 + j);
        ASSERT_TRUE(sink.write(chunk.data(), chunk.size()));
    }
    ASSERT_TRUE(sink.write(sink.data() + 5, 2 * kLargeBufferSize)); // its own bytes, growing
    const size_t firstPart = sink.length() - 2 * kLargeBufferSize;
    for (size_t k = 0; k < firstPart; ++k)
        ASSERT_EQ(sink.data()[k], static_cast<uint8_t>((k / chunk.size()) * 131 + k % chunk.size())) << k;
    EXPECT_EQ(0, std::memcmp(sink.data() + 5, sink.data() + firstPart, 2 * kLargeBufferSize));
    EXPECT_EQ(sink.capacity() & (sink.capacity() - 1), 0u); // still doubling from 256
}

TEST(ByteSink, AllocationFailureIsSticky)
{
    ByteSink sink;
    ASSERT_TRUE(sink.write("abc", 3));
    EXPECT_FALSE(sink.reserve(kImpossible));
    EXPECT_TRUE(sink.failed());
    EXPECT_EQ(sink.capacity(), 0xFFFFFFFFu);
    EXPECT_EQ(sink.length(), 0u);
    EXPECT_EQ(sink.data(), nullptr);
    EXPECT_EQ(sink.freeSpace(), 0u);
    EXPECT_FALSE(sink.write("x", 1));
    EXPECT_FALSE(sink.writeVarint32(1));
    EXPECT_FALSE(sink.reserve(1));
    EXPECT_FALSE(sink.commit(1));
    ByteSink other;
    ASSERT_TRUE(other.write("y", 1));
    EXPECT_FALSE(sink.append(&other));
    EXPECT_EQ(other.length(), 1u);

    sink.clear();
    EXPECT_FALSE(sink.failed());
    EXPECT_TRUE(sink.write("x", 1));
}

// A failed sink lost its bytes, so passing it on as if it were empty would corrupt the result.
TEST(ByteSink, FailedSinkIsNotAppendedOrSerialised)
{
    ByteSink dest;
    ASSERT_TRUE(dest.write("d", 1));
    ByteSink failedSink;
    failedSink.reserve(kImpossible);
    ASSERT_TRUE(failedSink.failed());
    EXPECT_FALSE(dest.append(&failedSink));
    EXPECT_EQ(bytesOf(dest), Bytes{'d'});

    ByteSinkSet set;
    set.stream(3)->reserve(kImpossible);
    ByteSink out;
    EXPECT_FALSE(set.copyToOneStream(&out));

    ByteSinkSet outer;
    ByteSinkSet inner;
    inner.stream(1)->reserve(kImpossible);
    EXPECT_FALSE(outer.writeSet(&inner));
}

TEST(ByteSink, LengthOverflowFailsWithoutBreakingSink)
{
    ByteSink sink;
    ASSERT_TRUE(sink.write("ab", 2));
    const uint8_t byte = 0;
    EXPECT_FALSE(sink.write(&byte, SIZE_MAX));
    EXPECT_FALSE(sink.write(&byte, SIZE_MAX - 1));
    EXPECT_FALSE(sink.failed());
    EXPECT_TRUE(sink.write("c", 1));
    EXPECT_EQ(bytesOf(sink), (Bytes{'a', 'b', 'c'}));
}

TEST(ByteSink, AppendEmptiesTheOther)
{
    ByteSink sink;
    ByteSink other;
    ASSERT_TRUE(sink.write("ab", 2));
    ASSERT_TRUE(other.write("cde", 3));
    ASSERT_TRUE(sink.append(&other));
    EXPECT_EQ(bytesOf(sink), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(other.length(), 0u);
    EXPECT_EQ(other.capacity(), 0u);
    EXPECT_EQ(other.data(), nullptr);
    EXPECT_TRUE(sink.append(&other)); // an empty sink appends nothing
    EXPECT_EQ(sink.length(), 5u);
    EXPECT_FALSE(sink.append(&sink)); // would empty the sink it just filled
    EXPECT_EQ(sink.length(), 5u);
}

// Into an empty sink the other's buffer moves; a larger reservation of the sink stays.
TEST(ByteSink, AppendToAnEmptySinkKeepsTheLargerBuffer)
{
    const Bytes big(5000, 0x42);
    for (const size_t reserved : {size_t(0), size_t(100), size_t(1) << 16}) {
        ByteSink sink;
        ASSERT_TRUE(reserved == 0 || sink.reserve(reserved));
        ByteSink other;
        ASSERT_TRUE(other.write(big.data(), big.size()));
        const size_t otherCapacity = other.capacity();
        ASSERT_TRUE(sink.append(&other));
        EXPECT_EQ(bytesOf(sink), big) << reserved;
        EXPECT_EQ(sink.capacity(), std::max(reserved, otherCapacity)) << reserved;
        EXPECT_EQ(other.length(), 0u);
        EXPECT_EQ(other.capacity(), 0u);
        ASSERT_TRUE(sink.write("x", 1));
        EXPECT_EQ(sink.length(), big.size() + 1);
    }
}

TEST(ByteSink, WriteInPlaceThenCommit)
{
    ByteSink sink;
    ASSERT_TRUE(sink.write("a", 1));
    ASSERT_TRUE(sink.reserve(sink.length() + 4));
    sink.tail()[0] = 'b';
    sink.tail()[1] = 'c';
    ASSERT_TRUE(sink.commit(2));
    EXPECT_FALSE(sink.commit(sink.freeSpace() + 1));
    EXPECT_EQ(bytesOf(sink), (Bytes{'a', 'b', 'c'}));
}

// --- stream sets -----------------------------------------------------------------------------

TEST(StreamSet, SplitBytes)
{
    struct Row {
        const char* what;
        Bytes in;
        bool ok;
        std::vector<Bytes> streams;
    };
    const Bytes example = concat(kMagic, {0x02, 0x01, 0x02, 0xAA, 0xBB, 0xCC});
    const Row rows[] = {
        {"two streams", example, true, {{0xAA}, {0xBB, 0xCC}}},
        {"trailing byte", concat(example, {0xDD}), false, {}},
        {"missing byte", Bytes(example.begin(), example.end() - 1), false, {}},
        {"no streams", concat(kMagic, {0x00}), true, {}},
        {"ten empty streams", concat(kMagic, {0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), true,
         std::vector<Bytes>(10)},
        {"eleven streams", concat(kMagic, {0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, {}},
        {"wrong magic", {0xEB, 0x9A, 0xCA, 0x09, 0x00}, false, {}},
        {"empty", {}, false, {}},
        {"magic only", kMagic, false, {}},
        {"truncated lengths", concat(kMagic, {0x02, 0x01}), false, {}},
        // 0xFFFFFFFF + 2 wraps to 1 in 32 bits, which equals the one body byte.
        {"lengths wrapping", concat(kMagic, {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x02, 0xAA}), false, {}},
        {"huge lengths", concat(kMagic, {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
         false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ByteSourceSet set;
        ASSERT_EQ(set.init(row.in.data(), row.in.size()), row.ok);
        if (!row.ok) {
            uint8_t byte = 0;
            for (size_t i = 0; i < kMaxStreams; ++i)
                EXPECT_FALSE(set.stream(i)->read(&byte, 1));
            continue;
        }
        ASSERT_EQ(set.count(), row.streams.size());
        for (size_t i = 0; i < set.count(); ++i)
            EXPECT_EQ(bytesOf(*set.stream(i)), row.streams[i]) << "stream " << i;
        EXPECT_EQ(set.stream(set.count()), nullptr);
    }
}

TEST(StreamSet, CopyOfFreshSetDeclaresTenEmptyStreams)
{
    ByteSinkSet set;
    EXPECT_EQ(set.count(), 10u);
    EXPECT_EQ(set.stream(10), nullptr);
    ByteSink out;
    ASSERT_TRUE(set.copyToOneStream(&out));
    EXPECT_EQ(bytesOf(out), concat(kMagic, {0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(StreamSet, CopyAppendsAndReleasesStreams)
{
    ByteSinkSet set;
    ASSERT_TRUE(set.stream(0)->write("\xAA", 1));
    const Bytes big(300, 0x55);
    ASSERT_TRUE(set.stream(9)->write(big.data(), big.size()));
    ByteSink out;
    ASSERT_TRUE(out.write("P", 1));
    ASSERT_TRUE(set.copyToOneStream(&out));
    for (size_t i = 0; i < set.count(); ++i)
        EXPECT_EQ(set.stream(i)->length(), 0u);

    const Bytes header = concat(kMagic, {0x0A, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0xAC, 0x02});
    EXPECT_EQ(bytesOf(out), concat(concat(concat({'P'}, header), {0xAA}), big));
    ByteSourceSet back;
    ASSERT_TRUE(back.init(out.data() + 1, out.length() - 1));
    EXPECT_EQ(bytesOf(*back.stream(0)), Bytes{0xAA});
    EXPECT_EQ(bytesOf(*back.stream(9)), big);
}

TEST(StreamSet, NestedSetsRoundTripStreamByStream)
{
    ByteSinkSet outer;
    ByteSinkSet first;
    ASSERT_TRUE(first.stream(0)->write("\x01", 1));
    ASSERT_TRUE(first.stream(2)->write("\x21\x22", 2));
    ByteSinkSet second;
    ASSERT_TRUE(second.stream(0)->write("\x02", 1));
    ASSERT_TRUE(second.stream(2)->write("\x23", 1));
    ByteSinkSet empty;
    ASSERT_TRUE(outer.writeSet(&first));
    ASSERT_TRUE(outer.writeSet(&empty));
    ASSERT_TRUE(outer.writeSet(&second));
    EXPECT_EQ(first.stream(2)->length(), 0u);

    // stream 0: count and lengths of each inner set, each followed by its stream 0
    EXPECT_EQ(bytesOf(*outer.stream(0)), (Bytes{3, 1, 0, 2, 0x01, 0, 3, 1, 0, 1, 0x02}));
    EXPECT_EQ(outer.stream(1)->length(), 0u);
    EXPECT_EQ(bytesOf(*outer.stream(2)), (Bytes{0x21, 0x22, 0x23}));

    ByteSink serial;
    ASSERT_TRUE(outer.copyToOneStream(&serial));
    ByteSourceSet in;
    ASSERT_TRUE(in.init(serial.asSource()));
    ByteSourceSet a, b, c;
    ASSERT_TRUE(in.readSet(&a));
    EXPECT_FALSE(in.allConsumed());
    ASSERT_TRUE(in.readSet(&b));
    ASSERT_TRUE(in.readSet(&c));
    EXPECT_TRUE(in.allConsumed());
    EXPECT_EQ(bytesOf(*a.stream(0)), Bytes{0x01});
    EXPECT_EQ(bytesOf(*a.stream(2)), (Bytes{0x21, 0x22}));
    EXPECT_TRUE(b.allConsumed());
    EXPECT_EQ(bytesOf(*c.stream(0)), Bytes{0x02});
    EXPECT_EQ(bytesOf(*c.stream(2)), Bytes{0x23});
    // Streams the writer trimmed read as empty.
    ASSERT_NE(c.stream(7), nullptr);
    EXPECT_TRUE(c.stream(7)->empty());
    EXPECT_FALSE(in.readSet(&a));
}

TEST(StreamSet, NestedReadFailsWithoutConsuming)
{
    struct Row {
        const char* what;
        std::vector<Bytes> outer; // bodies of the outer set
        bool ok;
    };
    const Row rows[] = {
        {"count 11", {{11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, false},
        {"body longer than stream 0", {{1, 2, 0xAA}}, false},
        {"body longer than stream 1", {{2, 0, 2}, {0xBB}}, false},
        {"stream beyond outer count", {{2, 0, 1}}, false},
        {"empty stream beyond outer count", {{2, 1, 0, 0xAA}}, true},
        {"truncated lengths", {{3, 0}}, false},
        {"empty stream 0", {{}}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes serial = concat(kMagic, {static_cast<uint8_t>(row.outer.size())});
        Bytes bodies;
        for (const Bytes& body : row.outer) {
            serial.push_back(static_cast<uint8_t>(body.size()));
            bodies = concat(bodies, body);
        }
        serial = concat(serial, bodies);
        ByteSourceSet outer;
        ASSERT_TRUE(outer.init(serial.data(), serial.size()));
        ByteSourceSet inner;
        EXPECT_EQ(outer.readSet(&inner), row.ok);
        if (!row.ok) {
            EXPECT_EQ(bytesOf(*outer.stream(0)), row.outer[0]);
        }
    }
}

// --- GrowableArray ---------------------------------------------------------------------------

template <typename T> T valueAt(size_t i)
{
    return static_cast<T>(i * 7 + 1);
}
template <> void* valueAt<void*>(size_t i)
{
    return reinterpret_cast<void*>(i * 8 + 8);
}

template <typename T> class GrowableArrayTest : public ::testing::Test {};
using ElementTypes = ::testing::Types<uint32_t, int32_t, void*>;
TYPED_TEST_SUITE(GrowableArrayTest, ElementTypes);

TYPED_TEST(GrowableArrayTest, PushBackGrowsAndKeepsValues)
{
    GrowableArray<TypeParam> array;
    for (size_t i = 0; i < 1000; ++i)
        ASSERT_TRUE(array.push_back(valueAt<TypeParam>(i)));
    // Pushing an element of the array itself exactly when it must grow.
    GrowableArray<TypeParam> full;
    for (size_t i = 0; i < 64; ++i)
        ASSERT_TRUE(full.push_back(valueAt<TypeParam>(i)));
    ASSERT_TRUE(full.push_back(full[3]));
    EXPECT_EQ(full[64], valueAt<TypeParam>(3));
    ASSERT_EQ(array.size(), 1000u);
    for (size_t i = 0; i < 1000; ++i)
        ASSERT_EQ(array[i], valueAt<TypeParam>(i));
}

TYPED_TEST(GrowableArrayTest, AppendCopiesRunsIncludingItsOwnElements)
{
    GrowableArray<TypeParam> array;
    std::vector<TypeParam> expected;
    std::vector<TypeParam> run;
    for (size_t i = 0; i < 100; ++i)
        run.push_back(valueAt<TypeParam>(i));
    ASSERT_TRUE(array.append(run.data(), 0));
    EXPECT_EQ(array.size(), 0u);
    ASSERT_TRUE(array.append(run.data(), 100)); // grows 64 -> 128
    expected = run;
    // Its own elements, appended exactly when the array must grow.
    ASSERT_TRUE(array.append(array.data() + 10, 90));
    expected.insert(expected.end(), run.begin() + 10, run.end());
    ASSERT_EQ(array.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(array[i], expected[i]) << i;
}

TYPED_TEST(GrowableArrayTest, AppendOverflowAndFailure)
{
    GrowableArray<TypeParam> array;
    const TypeParam value = valueAt<TypeParam>(1);
    ASSERT_TRUE(array.append(&value, 1));
    // A count that cannot fit fails without touching the array.
    EXPECT_FALSE(array.append(&value, SIZE_MAX));
    EXPECT_FALSE(array.failed());
    EXPECT_EQ(array.size(), 1u);
    // A count that fits the size but not memory leaves the array failed, as push_back does.
    EXPECT_FALSE(array.append(&value, kImpossible / sizeof(TypeParam)));
    EXPECT_TRUE(array.failed());
    EXPECT_EQ(array.size(), 0u);
    EXPECT_FALSE(array.append(&value, 1));
    array.clear();
    EXPECT_TRUE(array.append(&value, 1));
}

TYPED_TEST(GrowableArrayTest, GrowthAcrossTheLargeBufferSizeKeepsValues)
{
    GrowableArray<TypeParam> array;
    const size_t n = 3 * kLargeBufferSize / sizeof(TypeParam);
    for (size_t i = 0; i < n; ++i)
        ASSERT_TRUE(array.push_back(valueAt<TypeParam>(i)));
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(array[i], valueAt<TypeParam>(i)) << i;
}

TYPED_TEST(GrowableArrayTest, ResizeFillsNewSlots)
{
    GrowableArray<TypeParam> array;
    const TypeParam fill = valueAt<TypeParam>(99);
    ASSERT_TRUE(array.resize(3, fill));
    array[1] = valueAt<TypeParam>(1);
    ASSERT_TRUE(array.resize(1, fill));
    ASSERT_TRUE(array.resize(200, valueAt<TypeParam>(5)));
    ASSERT_EQ(array.size(), 200u);
    EXPECT_EQ(array[0], fill);
    for (size_t i = 1; i < 200; ++i)
        ASSERT_EQ(array[i], valueAt<TypeParam>(5)) << i; // no stale value at slot 1
    ASSERT_TRUE(array.resize(0, fill));
    EXPECT_TRUE(array.empty());
}

TYPED_TEST(GrowableArrayTest, AllocationFailureIsSticky)
{
    const size_t impossible[] = {kImpossible, (size_t(1) << 62) - 1, SIZE_MAX};
    for (size_t n : impossible) {
        GrowableArray<TypeParam> array;
        ASSERT_TRUE(array.push_back(valueAt<TypeParam>(0)));
        EXPECT_FALSE(array.resize(n, valueAt<TypeParam>(1))) << n;
        EXPECT_TRUE(array.failed());
        EXPECT_EQ(array.size(), 0u);
        EXPECT_FALSE(array.push_back(valueAt<TypeParam>(2)));
        EXPECT_FALSE(array.reserve(1));
        EXPECT_FALSE(array.resize(1, valueAt<TypeParam>(2)));
        array.clear();
        EXPECT_TRUE(array.push_back(valueAt<TypeParam>(3)));
    }
}

// --- buffer allocation -----------------------------------------------------------------------

void fillPattern(void* data, size_t n, uint8_t seed)
{
    auto* bytes = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 12));
}

bool hasPattern(const void* data, size_t n, uint8_t seed)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != static_cast<uint8_t>(seed + i * 7 + (i >> 12)))
            return false;
    }
    return true;
}

TEST(BufferAllocation, ResizeKeepsBytesAcrossEveryKindOfStep)
{
    const size_t mib = size_t(1) << 20;
    const struct {
        size_t from;
        size_t to;
    } rows[] = {
        {1000, 5000},                                  // malloc to malloc
        {kLargeBufferSize - 1, kLargeBufferSize},      // malloc to mapping
        {kLargeBufferSize, kLargeBufferSize + 4096},   // same mapping length
        {2 * mib, 5 * mib + 3},                        // mapping grows
        {6 * mib + 12345, 3 * mib},                    // mapping shrinks
        {3 * mib, 1000},                               // mapping to malloc
    };
    for (const auto& row : rows) {
        void* block = AllocateBuffer(row.from);
        ASSERT_NE(block, nullptr) << row.from;
        fillPattern(block, row.from, 3);
        void* resized = ResizeBuffer(block, row.from, row.to);
        ASSERT_NE(resized, nullptr) << row.from << " -> " << row.to;
        EXPECT_TRUE(hasPattern(resized, std::min(row.from, row.to), 3)) << row.from << " -> " << row.to;
        fillPattern(resized, row.to, 9); // the whole new size is usable
        FreeBuffer(resized, row.to);
    }
}

#if defined(__linux__)
// When the addresses after a mapping are taken, growing must move it without losing bytes.
TEST(BufferAllocation, GrowthPastAnOccupiedNeighbourMovesTheBlock)
{
    const size_t size = 4 << 20; // whole huge pages: the mapping ends right after the block
    void* block = AllocateBuffer(size);
    ASSERT_NE(block, nullptr);
    fillPattern(block, size, 5);
    void* wanted = static_cast<uint8_t*>(block) + size;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* neighbour = mmap(wanted, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (neighbour != wanted) {
        if (neighbour != MAP_FAILED)
            munmap(neighbour, page);
        FreeBuffer(block, size);
        GTEST_SKIP() << "the addresses after the block are not free";
    }
    void* grown = ResizeBuffer(block, size, 3 * size);
    ASSERT_NE(grown, nullptr);
    EXPECT_NE(grown, block);
    EXPECT_TRUE(hasPattern(grown, size, 5));
    fillPattern(grown, 3 * size, 6);
    FreeBuffer(grown, 3 * size);
    munmap(neighbour, page);
}
#endif

#if defined(__linux__)
bool FirstPageResident(void* block)
{
    unsigned char resident = 0;
    return mincore(block, static_cast<size_t>(sysconf(_SC_PAGESIZE)), &resident) == 0 &&
           (resident & 1) != 0;
}

// A freed large block keeps its pages for the next one, smaller, equal or larger (grown from
// it), which is usable to its last byte.
TEST(BufferAllocation, FreedBlocksServeTheNextOnesWithTheirPages)
{
    const size_t mib = size_t(1) << 20;
    const struct {
        size_t freed;
        size_t next;
    } rows[] = {{kLargeBufferSize, kLargeBufferSize}, {3 * mib, 3 * mib}, {5 * mib, 2 * mib + 7},
                {2 * mib, 6 * mib}};
    for (const auto& row : rows) {
        void* first = AllocateBuffer(row.freed);
        ASSERT_NE(first, nullptr);
        fillPattern(first, row.freed, 1);
        FreeBuffer(first, row.freed);
        void* next = AllocateBuffer(row.next);
        ASSERT_NE(next, nullptr);
        EXPECT_TRUE(FirstPageResident(next)) << row.freed << " -> " << row.next;
        fillPattern(next, row.next, 3);
        EXPECT_TRUE(hasPattern(next, row.next, 3));
        FreeBuffer(next, row.next);
    }
}
#endif

// Threads allocating and freeing at once never get a block another one still uses.
TEST(BufferAllocation, ThreadsNeverShareABlock)
{
    std::vector<std::thread> threads;
    std::atomic<int> damaged{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &damaged] {
            for (int round = 0; round < 40; ++round) {
                const size_t size = kLargeBufferSize + size_t((t * 40 + round) % 7) * 300000;
                const auto seed = static_cast<uint8_t>(t * 40 + round);
                void* block = AllocateBuffer(size);
                if (block == nullptr) {
                    ++damaged;
                    return;
                }
                fillPattern(block, size, seed);
                std::this_thread::yield();
                if (!hasPattern(block, size, seed))
                    ++damaged;
                FreeBuffer(block, size);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(damaged.load(), 0);
}

TEST(BufferAllocation, ImpossibleSizesFailAndKeepTheOldBlock)
{
    for (size_t from : {size_t(1000), size_t(3) << 20}) {
        void* block = AllocateBuffer(from);
        ASSERT_NE(block, nullptr);
        fillPattern(block, from, 1);
        for (size_t to : {kImpossible, SIZE_MAX - 4095, SIZE_MAX})
            EXPECT_EQ(ResizeBuffer(block, from, to), nullptr) << from << " -> " << to;
        EXPECT_TRUE(hasPattern(block, from, 1));
        FreeBuffer(block, from);
    }
    EXPECT_EQ(AllocateBuffer(kImpossible), nullptr);
    EXPECT_EQ(AllocateBuffer(SIZE_MAX), nullptr);
}

} // namespace
} // namespace deltapatch
