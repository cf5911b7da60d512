// Fuzz target: Mach-O detection, header check and disassembly of arbitrary bytes. An accepted
// image must also trim, encode, serialise, read back and assemble into a prefix of itself, and
// encode as a container program source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deltapatch/disassembler_macho.h"
#include "deltapatch/encodedprogram.h"
#include "deltapatch/executabledetection.h"
#include "deltapatch/programsource.h"

using namespace deltapatch;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool isPrefix(const ByteSink& bytes, const uint8_t* data, size_t size)
{
    return bytes.length() <= size &&
           (bytes.length() == 0 || std::memcmp(bytes.data(), data, bytes.length()) == 0);
}

// The encoding takes a label RVA of 0xFFFFFFFF for the filler of an index without a label and
// replaces it with the entry before it; such a program assembles to other bytes, which the
// container's and the patches' final diffs make good.
bool hasFillerLabel(const DisassembledProgram& program)
{
    for (const auto& entry : program.rel32Labels()) {
        if (entry.second.rva == 0xFFFFFFFFu)
            return true;
    }
    return false;
}

void reassemble(DisassembledProgram* program, const DisassemblerMacho& parser)
{
    EncodedProgram encoded;
    check(program->trimLabels() == STATUS_OK);
    check(EncodeProgram(*program, &encoded) == STATUS_OK);
    ByteSinkSet sinks;
    ByteSink serial;
    check(WriteEncodedProgram(encoded, &sinks) == STATUS_OK && sinks.copyToOneStream(&serial));
    ByteSourceSet sources;
    check(sources.init(serial.data(), serial.length()));
    EncodedProgram again;
    check(ReadEncodedProgram(&sources, &again) == STATUS_OK);
    ByteSink image;
    check(AssembleProgram(again, &image) == STATUS_OK);
    const size_t whole = static_cast<size_t>(parser.end() - parser.start());
    check(hasFillerLabel(*program) ||
          (image.length() >= parser.length() && isPrefix(image, parser.start(), whole)));
}

void checkMappings(const DisassemblerMacho& parser, size_t size)
{
    for (size_t offset : {size_t(0), size / 2, size}) {
        const uint8_t* pointer = parser.rvaToPointer(parser.fileOffsetToRva(offset));
        check(pointer == nullptr || (pointer >= parser.start() && pointer <= parser.end()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ExecutableKind kind = UNKNOWN;
    size_t length = 0;
    const PatchStatus detected = DetectExecutable(data, size, &kind, &length);
    DisassemblerMacho parser(data, size);
    const bool accepted = parser.parseHeader();
    // No other parser accepts a Mach-O magic, so detection agrees with this parser's verdict.
    if (!accepted) {
        check(*parser.failureReason() != '\0' && kind != MACHO_X86 && kind != MACHO_X64);
        check(detected == STATUS_OK || detected == STATUS_INPUT_NOT_RECOGNIZED);
        return 0;
    }
    check(detected == STATUS_OK && kind == parser.kind() && length == parser.length() &&
          length <= size);
    checkMappings(parser, size);
    DisassembledProgram program(kind);
    check(parser.disassemble(&program));
    reassemble(&program, parser);

    ByteSink source;
    ByteSink assembled;
    check(EncodeProgramSource(data, size, &source, &assembled));
    check(hasFillerLabel(program) || isPrefix(assembled, data, size));
    return 0;
}
