// Parser of PE32 images (32-bit x86): HIGHLOW base relocations and the x86 branch forms.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembler.h"
#include "deltapatch/disassembler_win32.h"

namespace deltapatch {

class DisassemblerWin32X86 : public Disassembler {
public:
    DisassemblerWin32X86(const uint8_t* start, size_t length);

    ExecutableKind kind() const override { return WIN_32_X86; }
    // Checks the PE headers and the section table and cuts the length to the end of the last
    // section's raw data. Every range is checked against the image.
    bool parseHeader() override;
    // Emits the sections with relocation places as abs32 and .text branches as rel32
    // references and the relocation table as a marker; a damaged relocation table sets the
    // failure reason.
    bool disassemble(DisassembledProgram* program) override;

    // The parsed image, for callers that inspect its layout.
    const DisassemblerWin32& image() const { return m_Image; }

private:
    DisassemblerWin32 m_Image;
};

} // namespace deltapatch
