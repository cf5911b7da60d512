// LZMA2 blob reading piece by piece on top of liblzma's raw LZMA2 decoder.
#include "deltapatch/lzma2blobreader.h"

#include <algorithm>
#include <cstdlib>
#include <string>

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
// What one decoding step may also end in besides a failure result.
constexpr int kGoing = -1;
constexpr int kEnded = -2;

constexpr uint8_t kMaxProperty = 40;
constexpr size_t kMinDictionary = LZMA_DICT_SIZE_MIN;
// An LZMA chunk yields at most 2 MiB from at least six bytes (five header bytes and one of
// data); an uncompressed chunk yields fewer bytes than it takes. No input does better.
constexpr size_t kMaxOutputPerInputByte = ((size_t(1) << 21) + 5) / 6;
// Growth step while decoding when the up-front reservation was too small.
constexpr size_t kMinGrowth = size_t(1) << 16;
constexpr size_t kTrustedUpFront = size_t(64) << 20;
constexpr size_t kSkipChunk = size_t(1) << 15;

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

// Real data rarely compresses better than 1000:1, so a wanted size is trusted up to that
// ratio (or 64 MiB); beyond it the sink grows only as output really appears. A few bytes that
// declare gigabytes therefore never reserve gigabytes.
size_t UpFrontReservation(size_t wanted, size_t inputLength)
{
    const size_t trusted = inputLength > (SIZE_MAX >> 10) ? SIZE_MAX
                                                          : std::max(kTrustedUpFront, inputLength << 10);
    return std::min({wanted, MaxOutputFor(inputLength), trusted});
}

bool GrowSink(ByteSink* sink, size_t stillNeeded)
{
    const size_t step = std::min(stillNeeded, std::max(sink->length(), kMinGrowth));
    return sink->reserve(sink->length() + step);
}

} // namespace

Lzma2BlobReader::~Lzma2BlobReader()
{
    lzma_end(&m_Stream);
}

bool Lzma2BlobReader::open(const ByteSource& blob)
{
    ByteSource in = blob;
    uint8_t property = 0;
    if (!in.read(&property, 1)) {
        logError("Error read LZMA2 properties");
        return false;
    }
    if (!in.readVarint32(&m_Declared)) {
        logError("Error read LZMA2 unpack size");
        return false;
    }
    m_HeaderLength = static_cast<size_t>(in.current() - blob.current());
    m_InputLength = in.remaining();
    if (m_HugePages)
        m_Stream.allocator = m_Blocks.allocator();
    m_Result = StartDecoder(&m_Stream, property, m_Declared, in.remaining());
    m_Stream.next_in = in.current();
    m_Stream.avail_in = in.remaining();
    m_Failed = false;
    return true;
}

bool Lzma2BlobReader::fail(int result)
{
    logError("Error uncompressing data " + std::to_string(result));
    m_Failed = true;
    return false;
}

// One decoder call into up to `room` bytes at `out`: kGoing, kEnded or a failure result.
int Lzma2BlobReader::decodeTo(uint8_t* out, size_t room, size_t* made)
{
    m_Stream.next_out = out;
    m_Stream.avail_out = room;
    const size_t inBefore = m_Stream.avail_in;
    const lzma_ret ret = lzma_code(&m_Stream, LZMA_RUN);
    *made = room - m_Stream.avail_out;
    m_Produced += static_cast<uint32_t>(*made);
    if (ret == LZMA_STREAM_END) {
        m_Ended = true;
        return kEnded;
    }
    if (ret != LZMA_OK)
        return MapResult(ret);
    return *made == 0 && m_Stream.avail_in == inBefore ? int(RESULT_INPUT_EOF) : kGoing;
}

// Decodes exactly `n` bytes into the sink, or drops them when there is none.
bool Lzma2BlobReader::pull(size_t n, ByteSink* sink)
{
    if (m_Failed)
        return false;
    if (n > left())
        return fail(RESULT_PARAM);
    if (m_Result != RESULT_OK)
        return fail(m_Result);
    uint8_t chunk[kSkipChunk];
    while (n > 0) {
        if (sink != nullptr && sink->freeSpace() == 0 && !GrowSink(sink, n))
            return fail(RESULT_MEM);
        const size_t room = std::min(sink != nullptr ? sink->freeSpace() : sizeof chunk, n);
        size_t made = 0;
        const int step = decodeTo(sink != nullptr ? sink->tail() : chunk, room, &made);
        if (sink != nullptr)
            sink->commit(made);
        n -= made;
        if (step == kEnded && n > 0)
            return fail(RESULT_OK); // a clean stream that is shorter than declared
        if (step != kGoing && step != kEnded)
            return fail(step);
    }
    return true;
}

bool Lzma2BlobReader::read(size_t n, ByteSink* sink)
{
    if (m_Failed)
        return false;
    const size_t upFront = UpFrontReservation(n, m_Stream.avail_in);
    if (upFront > SIZE_MAX - sink->length() || !sink->reserve(sink->length() + upFront)) {
        logError("unable to allocate sink space");
        m_Failed = true;
        return false;
    }
    return pull(n, sink);
}

bool Lzma2BlobReader::skip(size_t n)
{
    return pull(n, nullptr);
}

// With the declared size reached the stream must end without yielding another byte.
bool Lzma2BlobReader::finish()
{
    if (!pull(left(), nullptr))
        return false;
    while (!m_Ended) {
        uint8_t extra = 0;
        size_t made = 0;
        const int step = decodeTo(&extra, 1, &made);
        if (made != 0)
            return fail(RESULT_DATA);
        if (step != kGoing && step != kEnded)
            return fail(step);
    }
    m_Consumed = m_HeaderLength + m_InputLength - m_Stream.avail_in;
    // The dictionary is no longer needed; its memory goes back before the caller goes on.
    lzma_end(&m_Stream);
    m_Stream = LZMA_STREAM_INIT;
    m_Failed = true;
    return true;
}

} // namespace deltapatch
