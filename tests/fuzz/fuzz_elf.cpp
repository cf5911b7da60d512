// Fuzz target: ELF detection, the header checks of the three ELF parsers and disassembly of
// arbitrary bytes. What disassembles must also trim, encode, serialise, read back and assemble,
// into no more bytes than the image has (relocation entries may be left to the final diff).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "deltapatch/disassembler_elf32_arm.h"
#include "deltapatch/disassembler_elf32_x86.h"
#include "deltapatch/disassembler_elf64_x64.h"
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

void reassemble(DisassembledProgram* program, const Disassembler& parser)
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
    check(image.length() <= parser.length());
}

void tryParser(std::unique_ptr<Disassembler> parser, size_t size)
{
    if (!parser->parseHeader()) {
        check(*parser->failureReason() != '\0');
        return;
    }
    check(parser->length() <= size);
    DisassembledProgram program(parser->kind());
    if (parser->disassemble(&program))
        reassemble(&program, *parser);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ExecutableKind kind = UNKNOWN;
    size_t length = 0;
    const PatchStatus detected = DetectExecutable(data, size, &kind, &length);
    check(detected == STATUS_OK || detected == STATUS_INPUT_NOT_RECOGNIZED);
    check(length <= size);
    tryParser(std::make_unique<DisassemblerElf32X86>(data, size), size);
    tryParser(std::make_unique<DisassemblerElf64X64>(data, size), size);
    tryParser(std::make_unique<DisassemblerElf32ARM>(data, size), size);

    std::unique_ptr<DisassembledProgram> program;
    ParseExecutable(data, size, &program);
    ByteSink source;
    ByteSink assembled;
    EncodeProgramSource(data, size, &source, &assembled);
    return 0;
}
