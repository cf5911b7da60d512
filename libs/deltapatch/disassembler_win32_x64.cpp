// Parser of PE32+ images (x86-64): DIR64 base relocations, x86-64 branches and RIP operands.
#include "deltapatch/disassembler_win32_x64.h"

namespace deltapatch {

DisassemblerWin32X64::DisassemblerWin32X64(const uint8_t* start, size_t length)
    : Disassembler(start, length), m_Image(start, length, true)
{
}

bool DisassemblerWin32X64::parseHeader()
{
    const char* reason = m_Image.parseHeader();
    reduceLength(m_Image.length());
    return reason != nullptr ? markBad(reason) : markGood();
}

bool DisassemblerWin32X64::disassemble(DisassembledProgram* program)
{
    if (!good())
        return false;
    const char* reason = nullptr;
    if (m_Image.disassemble(program, &reason))
        return true;
    if (reason != nullptr)
        markBad(reason);
    return false;
}

} // namespace deltapatch
