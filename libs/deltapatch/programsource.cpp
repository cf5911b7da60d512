// Program sources of the executable-aware container. No executable parser is wired in yet:
// nothing is recognised, so packing stays plain; reading a program source assembles it.
#include "deltapatch/programsource.h"

#include "deltapatch/encodedprogram.h"
#include "deltapatch/enginelog.h"

namespace deltapatch {

PatchStatus DetectProgram(const uint8_t*, size_t, ExecutableKind* kind, size_t* imageLength)
{
    *kind = UNKNOWN;
    *imageLength = 0;
    return STATUS_INPUT_NOT_RECOGNIZED;
}

bool EncodeProgramSource(const uint8_t*, size_t, ByteSink*, ByteSink*)
{
    logError("could not parse file");
    return false;
}

bool AssembleProgramSource(ByteSourceSet* source, ByteSink* assembled)
{
    EncodedProgram program;
    if (ReadEncodedProgram(source, &program) != STATUS_OK) {
        logError("could not read encoded program");
        return false;
    }
    if (AssembleProgram(program, assembled) != STATUS_OK) {
        logError("could not assemble program");
        return false;
    }
    return true;
}

} // namespace deltapatch
