// Block diff applier: finds the control, diff and extra sections, then replays the triples.
#include <algorithm>
#include <cstring>

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/lzma2blob.h"

namespace deltapatch {
namespace {

// The three sections, read in place or from decoded scratch buffers that they point into.
struct Sections {
    ByteSource control;
    ByteSource diff;
    ByteSource extra;
    ByteSink scratch[3];
};

// Replay state: the old data (two segments read as one), where the copy reads next, and the
// output being built.
struct Replay {
    const uint8_t* first;
    int64_t firstLength;
    const uint8_t* second;
    int64_t oldLength; // both segments
    int32_t oldPosition; // 32-bit like the format; only the range checks are widened
    ByteSink* output;
    size_t outputStart;
    uint32_t newSize;
};

bool readHeader(ByteSource* patch, uint32_t* checksum)
{
    char magic[sizeof kBlockDiffMagic];
    if (!patch->read(magic, sizeof magic))
        return false;
    if (std::memcmp(magic, kBlockDiffMagic, sizeof magic) != 0) {
        logError("Corrupt patch header");
        return false;
    }
    if (!patch->readVarint32(checksum)) {
        logError("Could not read crc");
        return false;
    }
    return true;
}

// Lengths first, then the sections back to back; the source is advanced past them.
bool locatePlainSections(ByteSource* source, Sections* sections)
{
    uint32_t lengths[3];
    for (uint32_t& length : lengths) {
        if (!source->readVarint32(&length))
            return false;
    }
    const uint64_t total = uint64_t(lengths[0]) + lengths[1] + lengths[2];
    if (total > source->remaining())
        return false;
    const uint8_t* at = source->current();
    sections->control.init(at, lengths[0]);
    sections->diff.init(at + lengths[0], lengths[1]);
    sections->extra.init(at + lengths[0] + lengths[1], lengths[2]);
    return source->skip(static_cast<size_t>(total));
}

bool locateSections(ByteSource* patch, uint8_t method, Sections* sections)
{
    switch (method) {
    case METHOD_NONE:
        return locatePlainSections(patch, sections);
    case METHOD_LZMA2_BODY: {
        if (!ReadLzma2Blob(patch, &sections->scratch[0]))
            return false;
        ByteSource body = sections->scratch[0].asSource();
        return locatePlainSections(&body, sections);
    }
    default:
        for (ByteSink& scratch : sections->scratch) {
            if (!ReadLzma2Blob(patch, &scratch))
                return false;
        }
        sections->control = sections->scratch[0].asSource();
        sections->diff = sections->scratch[1].asSource();
        sections->extra = sections->scratch[2].asSource();
        return true;
    }
}

size_t produced(const Replay& replay)
{
    return replay.output->length() - replay.outputStart;
}

void addOld(uint8_t* to, const uint8_t* delta, const uint8_t* from, size_t n)
{
    for (size_t k = 0; k < n; ++k)
        to[k] = static_cast<uint8_t>(delta[k] + from[k]);
}

// Appends diff bytes plus the old bytes under them.
bool copyWithDifference(Replay* replay, ByteSource* diff, int32_t copy)
{
    if (uint32_t(copy) > diff->remaining()) {
        logError("Corrupt patch");
        return false;
    }
    // Widened so that a position near 2^31 plus a copy cannot wrap back into range.
    if (replay->oldPosition < 0 || copy > replay->oldLength - replay->oldPosition)
        return false;
    ByteSink* out = replay->output;
    if (!out->reserve(out->length() + uint32_t(copy)))
        return false;
    // The part of the range that lies in the first segment, then the rest from the second.
    const int64_t position = replay->oldPosition;
    const int64_t inFirst =
        std::max<int64_t>(0, std::min<int64_t>(copy, replay->firstLength - position));
    if (inFirst > 0)
        addOld(out->tail(), diff->current(), replay->first + position, size_t(inFirst));
    if (inFirst < copy) {
        const int64_t inSecond = position + inFirst - replay->firstLength;
        addOld(out->tail() + inFirst, diff->current() + inFirst, replay->second + inSecond,
               size_t(copy - inFirst));
    }
    return out->commit(uint32_t(copy)) && diff->skip(uint32_t(copy));
}

bool appendExtra(Replay* replay, ByteSource* extra, int32_t length)
{
    const size_t done = produced(*replay);
    if (done > replay->newSize || uint32_t(length) > replay->newSize - done ||
        uint32_t(length) > extra->remaining()) {
        logError("Corrupt patch");
        return false;
    }
    if (!replay->output->write(extra->current(), uint32_t(length)))
        return false;
    return extra->skip(uint32_t(length));
}

bool applyTriple(Replay* replay, Sections* sections)
{
    int32_t copy = 0;
    int32_t extra = 0;
    int32_t seek = 0;
    if (!sections->control.readVarint32Signed(&copy) ||
        !sections->control.readVarint32Signed(&extra) ||
        !sections->control.readVarint32Signed(&seek)) {
        logError("Corrupt patch reading control");
        return false;
    }
    if (copy < 0 || extra < 0)
        return false;
    if (!copyWithDifference(replay, &sections->diff, copy) ||
        !appendExtra(replay, &sections->extra, extra))
        return false;
    // Old positions wrap like the 32-bit values they are; a wrapped one fails the next check.
    replay->oldPosition = static_cast<int32_t>(uint32_t(replay->oldPosition) + uint32_t(copy) +
                                               uint32_t(seek));
    return true;
}

bool replayTriples(const ByteSource& first, const ByteSource& second, Sections* sections,
                   uint32_t newSize, ByteSink* output)
{
    const int64_t firstLength = int64_t(first.remaining());
    Replay replay{first.current(), firstLength, second.current(),
                  firstLength + int64_t(second.remaining()), 0, output, output->length(), newSize};
    // The declared size is only a claim: never reserve more than the sections can produce.
    const uint64_t producible = uint64_t(sections->diff.remaining()) + sections->extra.remaining();
    const size_t expected = static_cast<size_t>(std::min<uint64_t>(newSize, producible));
    if (!output->reserve(output->length() + expected))
        return false;
    while (produced(replay) < newSize) {
        if (!applyTriple(&replay, sections))
            return false;
    }
    return true;
}

// The method, the new size and the sections; the patch is advanced past them.
bool readBody(ByteSource* patch, uint32_t* newSize, Sections* sections)
{
    uint8_t method = 0;
    if (!patch->read(&method, 1))
        return false;
    if (method > METHOD_LZMA2_BODY) {
        logError("Invalid compression method");
        return false;
    }
    return patch->readVarint32(newSize) && locateSections(patch, method, sections);
}

} // namespace

bool ApplyBlockDiff(ByteSource old, ByteSource* patch, ByteSink* output, bool withHeader)
{
    if (patch == nullptr || output == nullptr)
        return false;
    uint32_t checksum = 0;
    if (withHeader && !readHeader(patch, &checksum))
        return false;
    uint32_t newSize = 0;
    Sections sections;
    if (!readBody(patch, &newSize, &sections))
        return false;
    const size_t start = output->length();
    if (!replayTriples(old, ByteSource(), &sections, newSize, output))
        return false;
    if (withHeader && ContentChecksum(output->data() + start, newSize) != checksum) {
        logError("crc mismatch");
        return false;
    }
    return true;
}

bool ApplyBlockDiffOverSegments(ByteSource first, ByteSource second, ByteSource* patch,
                                ByteSink* output)
{
    if (patch == nullptr || output == nullptr)
        return false;
    uint32_t newSize = 0;
    Sections sections;
    return readBody(patch, &newSize, &sections) &&
           replayTriples(first, second, &sections, newSize, output);
}

} // namespace deltapatch
