// The fixed old file of the ensemble fuzzer and the wrapping of a fuzzed body into a patch;
// shared with the test that keeps the seed corpus valid.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "deltapatch/checksum.h"
#include "deltapatch/ensemble.h"
#include "deltapatch/streams.h"
#include "machobuilder.h"

namespace deltapatch {
namespace fuzzing {

// Text around an x86-64 Mach-O image with a few calls, so that patchers over the image get
// through detection, encoding and assembly, and patchers elsewhere stop at detection.
struct EnsembleFuzzOld {
    std::vector<uint8_t> bytes;
    uint32_t imageOffset = 0;
    uint32_t imageLength = 0;
};

inline EnsembleFuzzOld EnsembleFuzzOldFile()
{
    EnsembleFuzzOld old;
    old.bytes.resize(300);
    for (size_t i = 0; i < old.bytes.size(); ++i)
        old.bytes[i] = static_cast<uint8_t>('a' + (i * 7 + i / 13) % 26);
    std::vector<uint8_t> code(40, 0x90);
    for (size_t at : {0, 10, 20}) { // calls to offset 36
        const uint8_t call[5] = {0xE8, static_cast<uint8_t>(31 - at), 0, 0, 0};
        std::copy(call, call + 5, code.begin() + at);
    }
    // A small image keeps the seeds, and with them the fuzzer's inputs, short.
    const std::vector<uint8_t> image =
        testing::BuildMacho(testing::SmallMacho(true, code, 0x140, 0x200));
    old.imageOffset = static_cast<uint32_t>(old.bytes.size());
    old.imageLength = static_cast<uint32_t>(image.size());
    old.bytes.insert(old.bytes.end(), image.begin(), image.end());
    old.bytes.insert(old.bytes.end(), old.bytes.begin(), old.bytes.begin() + 200);
    return old;
}

// An LZMA2 blob holding `data` in uncompressed chunks: cheap to build on every fuzz run, and
// the fuzzer's bytes reach the applier unchanged.
inline void AppendStoredBlob(const uint8_t* data, size_t size, ByteSink* out)
{
    constexpr size_t kChunk = 4096; // at most the dictionary of property 0
    out->write("\0", 1);
    out->writeVarint32(static_cast<uint32_t>(size));
    for (size_t at = 0; at < size; at += kChunk) {
        const size_t n = size - at < kChunk ? size - at : kChunk;
        const uint8_t head[3] = {static_cast<uint8_t>(at == 0 ? 0x01 : 0x02),
                                 static_cast<uint8_t>((n - 1) >> 8),
                                 static_cast<uint8_t>(n - 1)};
        out->write(head, sizeof head);
        out->write(data + at, n);
    }
    out->write("\0", 1);
}

// A patch for `old` whose body is taken from `input` as is: its first four bytes (little-endian)
// are the target checksum, the rest is the body. The size prediction claims 4 GiB.
inline void WrapBody(const std::vector<uint8_t>& old, const uint8_t* input, size_t size,
                     ByteSink* patch)
{
    uint32_t target = 0;
    for (size_t i = 0; i < 4 && i < size; ++i)
        target |= uint32_t(input[i]) << (8 * i);
    const size_t skip = size < 4 ? size : 4;
    patch->writeVarint32(kEnsembleMagic);
    patch->writeVarint32(kEnsembleVersion);
    patch->writeVarint32(ContentChecksum(old.data(), old.size()));
    patch->writeVarint32(target);
    patch->writeVarint32(0xFFFFFFFF);
    AppendStoredBlob(input + skip, size - skip, patch);
}

} // namespace fuzzing
} // namespace deltapatch
