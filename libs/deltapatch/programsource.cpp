// Program sources of the executable-aware container. No executable parser is wired in yet:
// nothing is recognised, so packing stays plain and reading a program source fails.
#include "deltapatch/programsource.h"

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

bool AssembleProgramSource(ByteSourceSet*, ByteSink*)
{
    logError("could not read encoded program");
    return false;
}

} // namespace deltapatch
