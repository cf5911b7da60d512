// LZMA2 blob reading and writing on top of liblzma's raw LZMA2 filter.
#include "deltapatch/lzma2blob.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "deltapatch/bufferallocation.h"
#include "deltapatch/enginelog.h"

namespace deltapatch {

namespace {

// Result numbers written after "Error uncompressing data ". They keep the numbering of the
// LZMA SDK's SRes codes, which release tooling and older logs know:
//   0 the stream ended cleanly (logged only when it produced fewer bytes than declared),
//   1 corrupt data, or more data than declared      (LZMA_DATA_ERROR, LZMA_FORMAT_ERROR),
//   2 out of memory                                  (LZMA_MEM_ERROR, LZMA_MEMLIMIT_ERROR),
//   4 unsupported property byte                      (above 40, LZMA_OPTIONS_ERROR),
//   5 bad parameter                                  (LZMA_PROG_ERROR),
//   6 the input ended before the stream did          (LZMA_BUF_ERROR, no progress),
//  11 anything else.
enum DecodeResult : int {
    RESULT_OK = 0,
    RESULT_DATA = 1,
    RESULT_MEM = 2,
    RESULT_UNSUPPORTED = 4,
    RESULT_PARAM = 5,
    RESULT_INPUT_EOF = 6,
    RESULT_FAIL = 11,
};

constexpr uint8_t kMaxProperty = 40;
constexpr size_t kMinDictionary = LZMA_DICT_SIZE_MIN;
constexpr uint32_t kPresetLevel = 9;
// An LZMA chunk yields at most 2 MiB from at least six bytes (five header bytes and one of
// data); an uncompressed chunk yields fewer bytes than it takes. No input does better.
constexpr size_t kMaxOutputPerInputByte = ((size_t(1) << 21) + 5) / 6;
// Growth step while decoding when the up-front reservation was too small.
constexpr size_t kMinGrowth = size_t(1) << 16;
constexpr size_t kTrustedUpFront = size_t(64) << 20;
constexpr size_t kEncodeChunk = size_t(1) << 15;

// liblzma's dictionaries and match finder tables are large and filled from end to end; they
// come from the engine's buffer allocator so that huge pages can back them. liblzma frees
// without a size, so the large blocks of one stream are remembered here.
class LzmaBlocks {
public:
    LzmaBlocks() : m_Allocator{&LzmaBlocks::allocate, &LzmaBlocks::release, this} {}
    ~LzmaBlocks()
    {
        for (const Block& block : m_Blocks)
            FreeBuffer(block.data, block.size);
    }
    LzmaBlocks(const LzmaBlocks&) = delete;
    LzmaBlocks& operator=(const LzmaBlocks&) = delete;

    const lzma_allocator* allocator() const { return &m_Allocator; }

private:
    struct Block {
        void* data = nullptr;
        size_t size = 0;
    };

    static void* allocate(void* opaque, size_t count, size_t size)
    {
        if (size != 0 && count > SIZE_MAX / size)
            return nullptr;
        size *= count;
        auto* self = static_cast<LzmaBlocks*>(opaque);
        Block* slot = nullptr;
        for (Block& block : self->m_Blocks) {
            if (block.data == nullptr)
                slot = &block;
        }
        if (size < kLargeBufferSize || slot == nullptr)
            return std::malloc(size);
        slot->data = AllocateBuffer(size);
        slot->size = size;
        return slot->data;
    }

    static void release(void* opaque, void* data)
    {
        for (Block& block : static_cast<LzmaBlocks*>(opaque)->m_Blocks) {
            if (block.data == data && data != nullptr) {
                FreeBuffer(block.data, block.size);
                block = Block();
                return;
            }
        }
        std::free(data);
    }

    lzma_allocator m_Allocator;
    Block m_Blocks[8];
};

int MapResult(lzma_ret ret)
{
    switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END: return RESULT_OK;
    case LZMA_DATA_ERROR:
    case LZMA_FORMAT_ERROR: return RESULT_DATA;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: return RESULT_MEM;
    case LZMA_OPTIONS_ERROR: return RESULT_UNSUPPORTED;
    case LZMA_PROG_ERROR: return RESULT_PARAM;
    case LZMA_BUF_ERROR: return RESULT_INPUT_EOF;
    default: return RESULT_FAIL;
    }
}

size_t MaxOutputFor(size_t inputLength)
{
    if (inputLength > SIZE_MAX / kMaxOutputPerInputByte)
        return SIZE_MAX;
    return inputLength * kMaxOutputPerInputByte;
}

// Matches never reach further back than the output produced so far, so a dictionary larger
// than the output (or than what the input can produce) would only waste memory.
uint32_t DecoderDictionary(uint32_t fromProperty, uint32_t declared, size_t inputLength)
{
    const size_t cap = std::min({size_t(fromProperty), size_t(declared), MaxOutputFor(inputLength)});
    return static_cast<uint32_t>(std::max(cap, kMinDictionary));
}

int StartDecoder(lzma_stream* stream, uint8_t property, uint32_t declared, size_t inputLength)
{
    if (property > kMaxProperty)
        return RESULT_UNSUPPORTED;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    const lzma_ret decoded = lzma_properties_decode(&filters[0], nullptr, &property, 1);
    if (decoded != LZMA_OK)
        return MapResult(decoded);
    auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
    options->dict_size = DecoderDictionary(options->dict_size, declared, inputLength);
    const lzma_ret started = lzma_raw_decoder(stream, filters);
    std::free(options);
    return MapResult(started);
}

// Real data rarely compresses better than 1000:1, so the declared size is trusted up to that
// ratio (or 64 MiB); beyond it the sink grows only as output really appears. A few bytes that
// declare gigabytes therefore never reserve gigabytes.
size_t UpFrontReservation(uint32_t declared, size_t inputLength)
{
    const size_t trusted = inputLength > (SIZE_MAX >> 10) ? SIZE_MAX
                                                          : std::max(kTrustedUpFront, inputLength << 10);
    return std::min({size_t(declared), MaxOutputFor(inputLength), trusted});
}

bool GrowSink(ByteSink* sink, size_t stillNeeded)
{
    const size_t step = std::min(stillNeeded, std::max(sink->length(), kMinGrowth));
    return sink->reserve(sink->length() + step);
}

// With the declared size reached the stream must end without yielding another byte.
int FinishAtDeclared(lzma_stream* stream)
{
    uint8_t extra = 0;
    for (;;) {
        stream->next_out = &extra;
        stream->avail_out = 1;
        const size_t inBefore = stream->avail_in;
        const lzma_ret ret = lzma_code(stream, LZMA_RUN);
        if (stream->avail_out == 0)
            return RESULT_DATA;
        if (ret == LZMA_STREAM_END)
            return RESULT_OK;
        if (ret != LZMA_OK)
            return MapResult(ret);
        if (stream->avail_in == inBefore)
            return RESULT_INPUT_EOF;
    }
}

// Decodes straight into the sink, growing it only as output really appears and never past
// the declared size. `produced` tells a stream that ended early from a complete one.
int DecodeInto(lzma_stream* stream, uint32_t declared, ByteSink* sink, size_t* produced)
{
    while (*produced < declared) {
        const size_t stillNeeded = declared - *produced;
        if (sink->freeSpace() == 0 && !GrowSink(sink, stillNeeded))
            return RESULT_MEM;
        const size_t room = std::min(sink->freeSpace(), stillNeeded);
        stream->next_out = sink->tail();
        stream->avail_out = room;
        const size_t inBefore = stream->avail_in;
        const lzma_ret ret = lzma_code(stream, LZMA_RUN);
        const size_t made = room - stream->avail_out;
        sink->commit(made);
        *produced += made;
        if (ret == LZMA_STREAM_END)
            return RESULT_OK;
        if (ret != LZMA_OK)
            return MapResult(ret);
        if (made == 0 && stream->avail_in == inBefore)
            return RESULT_INPUT_EOF;
    }
    return FinishAtDeclared(stream);
}

// Advances the source only when the stream produced exactly the declared size.
int Decode(uint8_t property, uint32_t declared, ByteSource* source, ByteSink* sink, size_t* produced)
{
    LzmaBlocks blocks;
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = blocks.allocator();
    int result = StartDecoder(&stream, property, declared, source->remaining());
    if (result == RESULT_OK) {
        stream.next_in = source->current();
        stream.avail_in = source->remaining();
        result = DecodeInto(&stream, declared, sink, produced);
    }
    const size_t consumed = source->remaining() - stream.avail_in;
    lzma_end(&stream);
    if (result == RESULT_OK && *produced == declared)
        source->skip(consumed);
    return result;
}

// Level 9 wants a 64 MiB dictionary; a small input never needs more than its own length,
// and the decoder sizes its dictionary from the property byte, so round up to a size the
// byte represents exactly (2^n or 3 * 2^(n-1)), but never past `ceiling`.
uint32_t EncoderDictionary(size_t length, uint32_t ceiling)
{
    const size_t wanted = std::max(std::min(length, size_t(ceiling)), kMinDictionary);
    size_t below = kMinDictionary;
    for (unsigned property = 0; property < kMaxProperty; ++property) {
        const size_t size = size_t(2 | (property & 1)) << (property / 2 + 11);
        if (size >= wanted)
            return static_cast<uint32_t>(size <= ceiling ? size : below);
        below = size;
    }
    return ceiling;
}

bool Encode(lzma_stream* stream, const uint8_t* data, size_t length, ByteSink* sink)
{
    uint8_t chunk[kEncodeChunk];
    stream->next_in = data;
    stream->avail_in = length;
    for (;;) {
        stream->next_out = chunk;
        stream->avail_out = sizeof chunk;
        const lzma_ret ret = lzma_code(stream, LZMA_FINISH);
        if (ret != LZMA_OK && ret != LZMA_STREAM_END)
            return false;
        if (!sink->write(chunk, sizeof chunk - stream->avail_out))
            return false;
        if (ret == LZMA_STREAM_END)
            return true;
    }
}

} // namespace

bool ReadLzma2Blob(ByteSource* source, ByteSink* sink)
{
    uint8_t property = 0;
    if (!source->read(&property, 1)) {
        logError("Error read LZMA2 properties");
        return false;
    }
    uint32_t declared = 0;
    if (!source->readVarint32(&declared)) {
        logError("Error read LZMA2 unpack size");
        return false;
    }
    const size_t upFront = UpFrontReservation(declared, source->remaining());
    if (upFront > SIZE_MAX - sink->length() || !sink->reserve(sink->length() + upFront)) {
        logError("unable to allocate sink space");
        return false;
    }
    size_t produced = 0;
    const int result = Decode(property, declared, source, sink, &produced);
    // A stream that ends cleanly but short reports result 0: the stream itself was fine.
    if (result != RESULT_OK || produced != declared) {
        logError("Error uncompressing data " + std::to_string(result));
        return false;
    }
    return true;
}

bool WriteLzma2Blob(ByteSource* source, ByteSink* sink)
{
    if (!WriteLzma2Blob(source->current(), source->remaining(), sink))
        return false;
    return source->skip(source->remaining());
}

// Level 9 with the dictionary fitted to the input, then whatever `tuning` asks for.
static bool WriteBlob(const uint8_t* data, size_t length, ByteSink* sink, const Lzma2Tuning* tuning)
{
    // The size field is 32 bits wide; refuse rather than write a blob that lies about it.
    if (length > UINT32_MAX) {
        logError("Error LZMA2 input too large");
        return false;
    }
    lzma_options_lzma options;
    const uint32_t preset = kPresetLevel | (tuning != nullptr && tuning->extreme ? LZMA_PRESET_EXTREME : 0);
    if (lzma_lzma_preset(&options, preset)) {
        logError("Error Lzma2Enc_SetProps");
        return false;
    }
    uint32_t ceiling = options.dict_size;
    if (tuning != nullptr && tuning->dictionaryLimit != 0)
        ceiling = std::min(ceiling, std::max(tuning->dictionaryLimit, uint32_t(kMinDictionary)));
    options.dict_size = EncoderDictionary(length, ceiling);
    if (tuning != nullptr) {
        if (tuning->niceLength != 0)
            options.nice_len = tuning->niceLength;
        options.lc = tuning->literalContextBits;
        options.lp = 0;
        options.pb = tuning->positionBits;
    }
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t property = 0;
    if (lzma_properties_encode(&filters[0], &property) != LZMA_OK) {
        logError("Error Lzma2Enc_SetProps");
        return false;
    }
    if (!sink->write(&property, 1) || !sink->writeVarint32(static_cast<uint32_t>(length)))
        return false;
    LzmaBlocks blocks;
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = blocks.allocator();
    const lzma_ret started = lzma_raw_encoder(&stream, filters);
    const bool ok = started == LZMA_OK && Encode(&stream, data, length, sink);
    lzma_end(&stream);
    if (!ok)
        logError(started == LZMA_OPTIONS_ERROR ? "Error Lzma2Enc_SetProps" : "Error Lzma2Enc_Encode");
    return ok;
}

bool WriteLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink)
{
    return WriteBlob(data, length, sink, nullptr);
}

bool WriteLzma2Blob(const uint8_t* data, size_t length, ByteSink* sink, const Lzma2Tuning& tuning)
{
    return WriteBlob(data, length, sink, &tuning);
}

} // namespace deltapatch
