// Fuzz target: ensemble patches applied in memory to a fixed old file. Every input is tried
// twice: as a whole patch, and as the target checksum and body of a patch whose header matches
// the old file (so that mutations reach the patchers and diffs instead of the checksum check).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deltapatch/checksum.h"
#include "deltapatch/ensemble.h"
#include "ensemblefuzzinput.h"

using namespace deltapatch;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool known(PatchStatus status)
{
    switch (status) {
    case STATUS_OK:
    case STATUS_GENERAL_ERROR:
    case STATUS_BAD_MAGIC:
    case STATUS_BAD_VERSION:
    case STATUS_BAD_HEADER:
    case STATUS_BAD_CRC:
    case STATUS_BAD_TRANSFORM:
    case STATUS_STREAM_ERROR:
    case STATUS_STREAM_NOT_CONSUMED:
    case STATUS_DESERIALIZATION_FAILED:
    case STATUS_INPUT_NOT_RECOGNIZED:
    case STATUS_DISASSEMBLY_FAILED:
    case STATUS_ASSEMBLY_FAILED:
    case STATUS_TRIM_FAILED:
        return true;
    default:
        return false;
    }
}

// The output keeps its prefix; it grows only on success, by bytes of the target checksum.
void apply(const std::vector<uint8_t>& old, const uint8_t* patch, size_t size)
{
    ByteSink output;
    output.write("prefix", 6);
    const PatchStatus status =
        ApplyEnsemblePatch(ByteSource(old.data(), old.size()), ByteSource(patch, size), &output);
    check(known(status));
    check(output.length() >= 6 && std::memcmp(output.data(), "prefix", 6) == 0);
    if (status != STATUS_OK) {
        check(output.length() == 6);
        return;
    }
    ByteSource header(patch, size);
    EnsemblePatchHeader fields;
    check(ReadEnsembleHeader(&header, &fields) == STATUS_OK);
    check(ContentChecksum(output.data() + 6, output.length() - 6) == fields.targetChecksum);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> old = fuzzing::EnsembleFuzzOldFile().bytes;
    apply(old, data, size);
    ByteSink wrapped;
    fuzzing::WrapBody(old, data, size, &wrapped);
    check(!wrapped.failed());
    apply(old, wrapped.data(), wrapped.length());
    return 0;
}
