// Compressed file container: decoding.
#include "deltapatch/container.h"

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/outputwriter.h"
#include "deltapatch/programsource.h"

namespace deltapatch {

namespace {

bool FailWith(const char* message)
{
    logError(message);
    return false;
}

// Re-assembles the program sources of an executable-aware payload, then turns their bytes
// into the file with the trailing diff.
bool UnpackDisAndDiff(ByteSource* source, ByteSink* output)
{
    ByteSink payload;
    if (!ReadLzma2Blob(source, &payload))
        return FailWith("could not decompress file");
    ByteSourceSet outer;
    if (!outer.init(payload.data(), payload.length()))
        return FailWith("could not init dif_and_dis set");
    if (outer.count() <= 1)
        return FailWith("dis_and_diff too small");
    const size_t programs = outer.count() - 1;
    ByteSink assembled;
    for (size_t i = 0; i < programs; ++i) {
        ByteSourceSet programSource;
        if (!programSource.init(*outer.stream(i)))
            return FailWith("could not init program_source set");
        if (!AssembleProgramSource(&programSource, &assembled))
            return false;
    }
    if (!ApplyBlockDiff(assembled.asSource(), outer.stream(programs), output, false))
        return FailWith("could not apply diff");
    return true;
}

bool DecodePayload(uint32_t directive, ByteSource* source, ByteSink* output)
{
    switch (directive) {
    case DIRECTIVE_PLAIN:
        if (!ReadLzma2Blob(source, output))
            return FailWith("could not decompress file");
        return true;
    case DIRECTIVE_DIS_AND_DIFF:
        return UnpackDisAndDiff(source, output);
    default:
        return FailWith("Unknown preprocessing dirrective");
    }
}

} // namespace

bool UnpackContainer(const char* inputPath, const char* outputPath)
{
    MappedFile input;
    if (!input.open(inputPath))
        return FailWith("could not open lzma file");
    ByteSource source(input.data(), input.length());
    uint32_t magic = 0;
    uint32_t checksum = 0;
    uint32_t directive = 0;
    if (!source.readVarint32(&magic) || !source.readVarint32(&checksum) ||
        !source.readVarint32(&directive))
        return FailWith("could not read lzma header");
    if (magic != kContainerMagic)
        return FailWith("not lzma file");
    // Bytes after the payload belong to nobody and are ignored.
    ByteSink output;
    if (!DecodePayload(directive, &source, &output))
        return false;
    if (ContentChecksum(output.data(), output.length()) != checksum)
        return FailWith("crc mismatch");
    if (!WriteOutputFile(outputPath, output.data(), output.length()))
        return FailWith("could not write output file");
    return true;
}

} // namespace deltapatch
