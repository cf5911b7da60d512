// Piecewise reading of one LZMA2 blob: the decoder stays alive between pieces, so a caller can
// take the decoded data a part at a time and never hold all of it.
#pragma once

#include <lzma.h>

#include <cstddef>
#include <cstdint>

#include "deltapatch/lzmablocks.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class Lzma2BlobReader {
public:
    // With `hugePages` the decoder's dictionary comes from the engine's buffer allocator, which
    // is faster to fill but resident as a whole from the start (liblzma writes its last byte);
    // without, only the pages that output has reached are resident, which suits a reader kept
    // open while little has been decoded.
    explicit Lzma2BlobReader(bool hugePages = false) : m_HugePages(hugePages) {}
    ~Lzma2BlobReader();
    Lzma2BlobReader(const Lzma2BlobReader&) = delete;
    Lzma2BlobReader& operator=(const Lzma2BlobReader&) = delete;

    // Reads the property byte and the declared size at `blob`'s position and starts decoding
    // the bytes after them, which are borrowed until the reader is destroyed. False (logged)
    // when either field is missing; a decoder that cannot start fails the first read instead.
    bool open(const ByteSource& blob);

    uint32_t declared() const { return m_Declared; }
    // Decoded bytes not yet read or skipped.
    uint32_t left() const { return m_Declared - m_Produced; }

    // Appends exactly the next `n` decoded bytes (n <= left()) to `sink`, which grows only as
    // far as the input can possibly produce. False (logged) when the data are corrupt, end
    // early or memory runs out; after any failure every call fails and logs nothing more.
    bool read(size_t n, ByteSink* sink);
    // Decodes the next `n` bytes (n <= left()) and drops them; fails as read does.
    bool skip(size_t n);
    // Drops whatever is left and checks that the stream ends exactly at the declared size:
    // true when the whole blob was sound, and the decoder's memory is released. Fails as read
    // does; any call after it fails.
    bool finish();
    // Blob bytes taken (header fields included) by a successful finish(), else 0.
    size_t consumed() const { return m_Consumed; }

private:
    bool fail(int result);
    bool pull(size_t n, ByteSink* sink);
    int decodeTo(uint8_t* out, size_t room, size_t* made);

    LzmaBlocks m_Blocks;
    lzma_stream m_Stream = LZMA_STREAM_INIT;
    bool m_HugePages = false;
    int m_Result = 0;          // of starting the decoder
    bool m_Failed = true;      // until open() succeeds
    bool m_Ended = false;      // the decoder has seen the end of the stream
    uint32_t m_Declared = 0;
    uint32_t m_Produced = 0;
    size_t m_HeaderLength = 0;
    size_t m_InputLength = 0;
    size_t m_Consumed = 0;
};

} // namespace deltapatch
