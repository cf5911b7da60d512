// Fuzz target: reading an encoded program from an arbitrary stream set and assembling it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deltapatch/encodedprogram.h"
#include "deltapatch/streams.h"

using namespace deltapatch;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameBytes(const ByteSink& a, const ByteSink& b)
{
    return a.length() == b.length() &&
           (a.length() == 0 || std::memcmp(a.data(), b.data(), a.length()) == 0);
}

// A program that was read must write, read back and assemble to the same bytes.
void roundTrip(const EncodedProgram& program, PatchStatus assembled, const ByteSink& image)
{
    ByteSinkSet sinks;
    check(WriteEncodedProgram(program, &sinks) == STATUS_OK);
    ByteSink serial;
    check(sinks.copyToOneStream(&serial));
    ByteSourceSet sources;
    check(sources.init(serial.data(), serial.length()));
    EncodedProgram again;
    check(ReadEncodedProgram(&sources, &again) == STATUS_OK);
    ByteSink image2;
    check(AssembleProgram(again, &image2) == assembled);
    check(assembled != STATUS_OK || sameBytes(image, image2));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ByteSourceSet set;
    set.init(data, size);
    EncodedProgram program;
    const PatchStatus read = ReadEncodedProgram(&set, &program);
    check(read == STATUS_OK || read == STATUS_DESERIALIZATION_FAILED);
    if (read != STATUS_OK)
        return 0;
    ByteSink image;
    const PatchStatus assembled = AssembleProgram(program, &image);
    check(assembled == STATUS_OK || assembled == STATUS_ASSEMBLY_FAILED);
    roundTrip(program, assembled, image);
    return 0;
}
