// Compressed file container: encoding.
#include <string>

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/container.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/outputwriter.h"
#include "deltapatch/programelements.h"
#include "deltapatch/programsource.h"

namespace deltapatch {

namespace {

bool FailWith(const char* message)
{
    logError(message);
    return false;
}

bool WriteLength(ByteSink* out, size_t length)
{
    return length <= UINT32_MAX && out->writeVarint32(static_cast<uint32_t>(length));
}

// Serialises the first `count` streams only: the outer set declares one stream per element
// plus the diff, and the decoder takes the last declared stream as the diff.
bool SerialiseStreams(ByteSinkSet* streams, size_t count, ByteSink* out)
{
    if (!out->writeVarint32(kStreamSetMagic) || !WriteLength(out, count))
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (!WriteLength(out, streams->stream(i)->length()))
            return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!out->append(streams->stream(i)))
            return false;
    }
    return true;
}

bool PackDisAndDiff(const MappedFile& input, const ProgramElements& elements, uint32_t checksum,
                    ByteSink* sink)
{
    if (!WriteContainerHeader(sink, checksum))
        return false;
    if (!sink->writeVarint32(DIRECTIVE_DIS_AND_DIFF))
        return FailWith("could not write preprocess directive");
    ByteSinkSet outer;
    ByteSink assembled;
    for (size_t i = 0; i < elements.count; ++i) {
        const ProgramElement& e = elements.items[i];
        if (!EncodeProgramSource(input.data() + e.offset, e.length, outer.stream(i), &assembled))
            return false;
    }
    const ByteSource whole(input.data(), input.length());
    if (!GenerateBlockDiff(assembled.asSource(), whole, outer.stream(elements.count), false,
                           METHOD_NONE))
        return FailWith("could not generate diff");
    ByteSink payload;
    if (!SerialiseStreams(&outer, elements.count + 1, &payload))
        return FailWith("could not combine dis and dif");
    if (!WriteLzma2Blob(payload.data(), payload.length(), sink))
        return FailWith("could not compress file");
    return true;
}

// Anything that goes wrong after detection falls back to the plain directive.
bool PackExecutableAware(const MappedFile& input, ByteSink* sink, uint32_t checksum)
{
    ProgramElements elements;
    const PatchStatus status =
        FindProgramElements(input.data(), input.length(), DetectProgram, &elements);
    if (status == STATUS_INPUT_NOT_RECOGNIZED)
        return PackPlainContainer(input, sink, checksum);
    if (status != STATUS_OK) {
        logError("error detecting file type " + std::to_string(status));
        return false;
    }
    for (size_t i = 0; i < elements.count; ++i)
        logDebug(std::string("detected ") + ExecutableKindName(elements.items[i].kind));
    if (PackDisAndDiff(input, elements, checksum, sink))
        return true;
    logWarning("falling back to default compression");
    sink->clear();
    return PackPlainContainer(input, sink, checksum);
}

} // namespace

bool WriteContainerHeader(ByteSink* sink, uint32_t checksum)
{
    if (!sink->writeVarint32(kContainerMagic))
        return FailWith("could not write magic");
    if (!sink->writeVarint32(checksum))
        return FailWith("could not write crc");
    return true;
}

bool PackPlainContainer(const MappedFile& input, ByteSink* sink, uint32_t checksum)
{
    if (!WriteContainerHeader(sink, checksum))
        return false;
    if (!sink->writeVarint32(DIRECTIVE_PLAIN))
        return FailWith("could not write preprocess directive");
    if (!WriteLzma2Blob(input.data(), input.length(), sink))
        return FailWith("could not compress file");
    return true;
}

bool PackContainer(const char* inputPath, const char* outputPath, bool tryDisassembly)
{
    MappedFile input;
    if (!input.open(inputPath))
        return FailWith("could not open file");
    const uint32_t checksum = ContentChecksum(input.data(), input.length());
    ByteSink packed;
    const bool packedOk = tryDisassembly ? PackExecutableAware(input, &packed, checksum)
                                         : PackPlainContainer(input, &packed, checksum);
    if (!packedOk)
        return false;
    if (!WriteOutputFile(outputPath, packed.data(), packed.length()))
        return FailWith("could not write output file");
    return true;
}

} // namespace deltapatch
