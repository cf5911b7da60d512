// Fuzz target: block diff patches applied to a fixed old buffer, and generate/apply round trips.
// The first byte picks the mode (modulo 3): 0 applies the rest without header, 1 with header,
// 2 is a round trip: two bytes give where the data splits into old and new, one byte the method
// and header form, and applying the generated patch must give the new data back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deltapatch/blockdiff.h"

using namespace deltapatch;

namespace {

const uint8_t kOld[] = "The quick brown fox jumps over the lazy dog.\x00\x01\x02\x03\x7f\x80\xfe\xff"
                       "0123456789abcdef0123456789abcdef";

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void applyPatch(const uint8_t* data, size_t size, bool withHeader)
{
    ByteSource patch(data, size);
    ByteSink output;
    const bool ok = ApplyBlockDiff(ByteSource(kOld, sizeof kOld), &patch, &output, withHeader);
    check(patch.current() >= data && patch.current() <= data + size);
    (void)ok;
}

void roundTrip(const uint8_t* data, size_t size)
{
    if (size < 3)
        return;
    const size_t split = (size_t(data[0]) << 8 | data[1]) % (size - 2);
    const BlockDiffMethod method = static_cast<BlockDiffMethod>(data[2] % 3);
    const bool withHeader = data[2] & 4;
    const uint8_t* old = data + 3;
    const uint8_t* updated = old + split;
    const size_t updatedSize = size - 3 - split;

    ByteSink patch;
    check(GenerateBlockDiff(ByteSource(old, split), ByteSource(updated, updatedSize), &patch,
                            withHeader, method));
    ByteSource patchSource = patch.asSource();
    ByteSink output;
    check(ApplyBlockDiff(ByteSource(old, split), &patchSource, &output, withHeader));
    check(patchSource.empty());
    check(output.length() == updatedSize);
    check(updatedSize == 0 || std::memcmp(output.data(), updated, updatedSize) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 3) {
    case 0:
        applyPatch(data + 1, size - 1, false);
        break;
    case 1:
        applyPatch(data + 1, size - 1, true);
        break;
    default:
        roundTrip(data + 1, size - 1);
    }
    return 0;
}
