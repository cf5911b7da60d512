// The body of an ensemble patch read stream by stream: an LZMA2 blob holding a stream set whose
// streams the applier needs one at a time, so only the stream in use is ever held decoded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/lzma2blobreader.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class EnsembleBodyReader {
public:
    // Starts decoding the blob at `blob`'s position (its bytes are borrowed) and reads the set's
    // magic, count and lengths. False (logged) when the blob fails to decode that far. A body
    // that does not split as a set (lengths that do not add up to the blob's declared size)
    // is no failure here: all its streams read as empty.
    bool open(const ByteSource& blob);

    // Decodes stream `index` and appends it to `stream`. Streams are taken in increasing order,
    // each at most once; a stream the set lacks comes out empty. False (logged) when the blob
    // fails to decode or memory runs out.
    bool take(size_t index, ByteSink* stream);

    // Decodes what is left and checks that the blob ends exactly where it declares: true when
    // the whole body was sound. Releases the decoder; no stream can be taken after it.
    bool finish();

private:
    bool readHeaderVarint(uint32_t* value);
    bool readHeader();

    // With huge pages, although the decoder lives through transform up: the whole (at most
    // 4 MiB) dictionary becomes resident, but page by page it cost a third of the time of
    // applying a half-MiB patch and a quarter on a 5 MiB one.
    Lzma2BlobReader m_Blob{true};
    bool m_Split = false;
    bool m_Broken = false;    // the blob failed to decode
    bool m_Finished = false;
    size_t m_Count = 0;
    size_t m_Next = 0;        // the first stream not yet taken or skipped
    uint32_t m_Lengths[kMaxStreams] = {};
};

} // namespace deltapatch
