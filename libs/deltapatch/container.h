// Compressed file container: magic, ContentChecksum, preprocessing directive, LZMA2 payload.
#pragma once

#include <cstdint>

#include "deltapatch/mappedfile.h"
#include "deltapatch/streams.h"

namespace deltapatch {

constexpr uint32_t kContainerMagic = 132781929; // 0x07EA1769
enum ContainerDirective : uint32_t {
    DIRECTIVE_PLAIN = 1,
    DIRECTIVE_DIS_AND_DIFF = 2,
};

// Decodes the container at `inputPath` into `outputPath` (UTF-8 paths). True only when the
// output was written completely and its checksum matched; the output file is opened only after
// everything else succeeded.
bool UnpackContainer(const char* inputPath, const char* outputPath);

// Writes a container for `inputPath`. With `tryDisassembly` false it always writes the plain
// directive; with it true it attempts the executable-aware directive and falls back.
bool PackContainer(const char* inputPath, const char* outputPath, bool tryDisassembly);

// Appends the magic and the checksum.
bool WriteContainerHeader(ByteSink* sink, uint32_t checksum);
// Appends a complete plain container for the mapped input.
bool PackPlainContainer(const MappedFile& input, ByteSink* sink, uint32_t checksum);

} // namespace deltapatch
