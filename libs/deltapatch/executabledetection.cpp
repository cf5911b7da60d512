// Executable detection over the parsers in their fixed order.
#include "deltapatch/executabledetection.h"

#include <new>

#include "deltapatch/disassembler.h"
#include "deltapatch/disassembler_elf32_arm.h"
#include "deltapatch/disassembler_elf32_x86.h"
#include "deltapatch/disassembler_elf64_x64.h"
#include "deltapatch/disassembler_macho.h"
#include "deltapatch/disassembler_win32_x64.h"
#include "deltapatch/disassembler_win32_x86.h"

namespace deltapatch {

namespace {

using ParserFactory = Disassembler* (*)(const uint8_t* data, size_t length);

template <typename Parser> Disassembler* MakeParser(const uint8_t* data, size_t length)
{
    return new (std::nothrow) Parser(data, length);
}

// The order decides which parser wins; the PE parsers come first, then the ELF parsers
// (32-bit x86, 64-bit x86-64, 32-bit ARM), the Mach-O parser last.
constexpr ParserFactory kParsers[] = {
    &MakeParser<DisassemblerWin32X86>,
    &MakeParser<DisassemblerWin32X64>,
    &MakeParser<DisassemblerElf32X86>,
    &MakeParser<DisassemblerElf64X64>,
    &MakeParser<DisassemblerElf32ARM>,
    &MakeParser<DisassemblerMacho>,
};

// The first parser whose header check accepts the image, or STATUS_INPUT_NOT_RECOGNIZED.
PatchStatus FindParser(const uint8_t* data, size_t length, std::unique_ptr<Disassembler>* found)
{
    for (ParserFactory make : kParsers) {
        std::unique_ptr<Disassembler> parser(make(data, length));
        if (!parser)
            return STATUS_GENERAL_ERROR;
        if (parser->parseHeader()) {
            *found = std::move(parser);
            return STATUS_OK;
        }
    }
    return STATUS_INPUT_NOT_RECOGNIZED;
}

} // namespace

PatchStatus DetectExecutable(const uint8_t* data, size_t length, ExecutableKind* kind,
                             size_t* imageLength)
{
    *kind = UNKNOWN;
    *imageLength = 0;
    std::unique_ptr<Disassembler> parser;
    const PatchStatus status = FindParser(data, length, &parser);
    if (status != STATUS_OK)
        return status;
    *kind = parser->kind();
    *imageLength = parser->length();
    return STATUS_OK;
}

PatchStatus ParseExecutable(const uint8_t* data, size_t length,
                            std::unique_ptr<DisassembledProgram>* program)
{
    std::unique_ptr<Disassembler> parser;
    const PatchStatus status = FindParser(data, length, &parser);
    if (status != STATUS_OK)
        return status;
    std::unique_ptr<DisassembledProgram> made(new (std::nothrow)
                                                  DisassembledProgram(parser->kind()));
    if (!made || !parser->disassemble(made.get()))
        return STATUS_DISASSEMBLY_FAILED;
    *program = std::move(made);
    return STATUS_OK;
}

} // namespace deltapatch
