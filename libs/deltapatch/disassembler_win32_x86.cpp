// Parser of PE32 images (32-bit x86): HIGHLOW base relocations and the x86 branch forms.
#include "deltapatch/disassembler_win32_x86.h"

namespace deltapatch {

DisassemblerWin32X86::DisassemblerWin32X86(const uint8_t* start, size_t length)
    : Disassembler(start, length), m_Image(start, length, false)
{
}

bool DisassemblerWin32X86::parseHeader()
{
    const char* reason = m_Image.parseHeader();
    reduceLength(m_Image.length());
    return reason != nullptr ? markBad(reason) : markGood();
}

bool DisassemblerWin32X86::disassemble(DisassembledProgram* program)
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
