// Fuzz target: PE detection, header checks and disassembly of arbitrary bytes. What parses is
// also trimmed, encoded, serialised, read back and assembled, and encoded as a container
// program source; none of it may crash, and a program that assembles must read back intact.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deltapatch/disassembler_win32_x64.h"
#include "deltapatch/disassembler_win32_x86.h"
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

void reassemble(DisassembledProgram* program)
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
    // Damaged tables may legitimately fail assembly (two markers, crowded pages); both copies
    // of the program must agree on it.
    ByteSink first;
    ByteSink second;
    check((AssembleProgram(encoded, &first) == STATUS_OK) ==
          (AssembleProgram(again, &second) == STATUS_OK));
    check(first.length() == second.length() &&
          (first.length() == 0 || std::memcmp(first.data(), second.data(), first.length()) == 0));
}

void checkMappings(const DisassemblerWin32& image, size_t size)
{
    for (size_t offset : {size_t(0), size / 2, size}) {
        const int64_t back = image.rvaToFileOffset(image.fileOffsetToRva(offset));
        check(back >= -1 && back <= int64_t(size));
        const int64_t next = image.nextSectionAt(offset);
        check(next >= -1 && next < int64_t(image.sectionCount()));
    }
}

// Each section is placed at the RVA that the plain file-offset mapping gives its first byte.
void checkOrigins(const DisassemblerWin32& image, const DisassembledProgram& program)
{
    size_t visited = 0;
    size_t cursor = 0;
    for (int64_t i = image.nextSectionAt(cursor); i >= 0; i = image.nextSectionAt(cursor)) {
        const DisassemblerWin32::Section& section = image.section(size_t(i));
        while (visited < program.instructionCount() &&
               program.instruction(visited).kind() != INSTRUCTION_ORIGIN)
            ++visited;
        check(visited < program.instructionCount() &&
              program.instruction(visited).value == image.fileOffsetToRva(section.rawPointer));
        ++visited;
        cursor = size_t(section.rawPointer) + section.rawSize;
    }
}

template <typename Parser>
bool tryParser(const uint8_t* data, size_t size, ExecutableKind detected, size_t length)
{
    Parser parser(data, size);
    if (!parser.parseHeader()) {
        check(*parser.failureReason() != '\0' && detected != parser.kind());
        return false;
    }
    check(detected == parser.kind() && length == parser.length() && length <= size);
    checkMappings(parser.image(), size);
    DisassembledProgram program(parser.kind());
    if (parser.disassemble(&program)) {
        checkOrigins(parser.image(), program);
        reassemble(&program);
    }
    else
        check(*parser.failureReason() != '\0');
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ExecutableKind kind = UNKNOWN;
    size_t length = 0;
    const PatchStatus detected = DetectExecutable(data, size, &kind, &length);
    check(detected == STATUS_OK || detected == STATUS_INPUT_NOT_RECOGNIZED);
    const bool x86 = tryParser<DisassemblerWin32X86>(data, size, kind, length);
    const bool x64 = tryParser<DisassemblerWin32X64>(data, size, kind, length);
    check(!(x86 && x64));
    if (!x86 && !x64)
        return 0;
    ByteSink source;
    ByteSink assembled;
    EncodeProgramSource(data, size, &source, &assembled);
    return 0;
}
