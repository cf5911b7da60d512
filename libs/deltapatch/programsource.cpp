// Program sources of the executable-aware container: executable images are detected, encoded
// into program sources and re-assembled from them.
#include "deltapatch/programsource.h"

#include <memory>

#include "deltapatch/encodedprogram.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/executabledetection.h"

namespace deltapatch {

namespace {

bool FailWith(const char* message)
{
    logError(message);
    return false;
}

} // namespace

PatchStatus DetectProgram(const uint8_t* data, size_t length, ExecutableKind* kind,
                          size_t* imageLength)
{
    return DetectExecutable(data, length, kind, imageLength);
}

bool EncodeProgramSource(const uint8_t* data, size_t length, ByteSink* programSource,
                         ByteSink* assembled)
{
    std::unique_ptr<DisassembledProgram> program;
    if (ParseExecutable(data, length, &program) != STATUS_OK)
        return FailWith("could not parse file");
    if (program->trimLabels() != STATUS_OK)
        return FailWith("could not trim labels");
    EncodedProgram encoded;
    if (EncodeProgram(*program, &encoded) != STATUS_OK)
        return FailWith("could not encode program");
    program.reset(); // the encoded form holds everything assembly needs
    ByteSinkSet streams;
    if (WriteEncodedProgram(encoded, &streams) != STATUS_OK)
        return FailWith("could not write encode program");
    if (!streams.copyToOneStream(programSource))
        return FailWith("could not combine streams");
    if (AssembleProgram(encoded, assembled) != STATUS_OK)
        return FailWith("could not assemble program");
    return true;
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
