// Parser of thin little-endian Mach-O images (x86 and x86-64): finds the code sections and the
// 32-bit relative displacements in them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembler.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class DisassemblerMacho : public Disassembler {
public:
    // Addresses are rebased on the lowest segment address once the header check succeeded.
    struct Segment {
        uint64_t address;
        uint32_t virtualSize;
        uint32_t fileOffset;
        uint32_t fileSize;
    };
    struct CodeSection {
        uint64_t address;
        uint32_t size;
        uint32_t fileOffset;
    };

    DisassemblerMacho(const uint8_t* start, size_t length);

    // MACHO_X86 or MACHO_X64 after a successful header check, UNKNOWN otherwise.
    ExecutableKind kind() const override { return m_Kind; }
    // Checks the header and the segment load commands, rebases the segments and reduces the
    // length to the end of the last segment. Every range is checked against the image.
    bool parseHeader() override;
    // Emits the image with the displacements of the code sections as rel32 references.
    bool disassemble(DisassembledProgram* program) override;

    // RVA of a file offset through the first segment whose file range holds it; 0 if none.
    uint32_t fileOffsetToRva(size_t offset) const;
    // File offset of an RVA through the first segment whose virtual range holds it; -1 when the
    // RVA lies past the segment's file bytes or in no segment (the latter is logged).
    int64_t rvaToFileOffset(uint32_t rva) const;
    // Pointer to the image byte at an RVA, or null when it has no file offset.
    const uint8_t* rvaToPointer(uint32_t rva) const;

private:
    bool parseLoadCommands(uint32_t count, size_t offset);
    bool parseSegment32(const uint8_t* command, uint32_t size);
    bool parseSegment64(const uint8_t* command, uint32_t size);
    bool addSegment(const Segment& segment);
    bool addSection(const Segment& segment, uint64_t address, uint64_t size, uint32_t fileOffset,
                    uint32_t flags);
    bool rebase();

    bool findRel32Locations();
    bool emitBytes(DisassembledProgram* program, size_t from, size_t to) const;
    bool emitSection(DisassembledProgram* program, const CodeSection& section) const;

    ExecutableKind m_Kind = UNKNOWN;
    bool m_Is64 = false;
    uint64_t m_HighestSegmentEnd = 0;
    GrowableArray<Segment> m_Segments;
    GrowableArray<CodeSection> m_CodeSections;
    GrowableArray<uint32_t> m_Rel32Locations;
};

} // namespace deltapatch
