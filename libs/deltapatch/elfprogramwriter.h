// Emits an ELF image into a program: walks the sections in table order, turning abs32 places
// and branches into label references and handing relocation sections to the parser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/elfbranch.h"
#include "deltapatch/elflayout.h"

namespace deltapatch {

class ElfProgramWriter {
public:
    class RelocationHandler {
    public:
        // Emits a relocation section whose bytes lie in the image; the writer's cursor is at
        // the section's offset and moves to its end afterwards.
        virtual bool handleRelocationSection(ElfProgramWriter* writer,
                                             const ElfSection& section) = 0;

    protected:
        ~RelocationHandler() = default;
    };

    // The image, layout and program are borrowed for the writer's lifetime.
    ElfProgramWriter(const uint8_t* image, size_t length, const ElfLayout& layout,
                     DisassembledProgram* program);

    // True when every section lies inside the image and no section starts before the bytes
    // the walk has already emitted, so each image byte is scanned and emitted at most once.
    static bool sectionsAreOrdered(const ElfLayout& layout, size_t length);

    // Records the RVA of a 32-bit absolute place; false when memory runs out.
    bool addAbs32(uint32_t rva);
    // Sorts the abs32 places by RVA and gives them file offsets; false when one has none. Keeps
    // only the branches whose RVA leads back to where they were found: in sections that are not
    // loaded (debug information, say) the bytes merely look like branches.
    bool locate(ElfBranchList* branches);
    // Emits the whole image and assigns default label indexes; false when a place is left
    // unused, lies where no reference can be emitted, or the program refuses an instruction.
    bool write(ElfBranchList* branches, RelocationHandler* handler);

    // For relocation handlers.
    DisassembledProgram* program() const { return m_Program; }
    const uint8_t* image() const { return m_Image; }
    // Number of abs32 places still in play (not dropped with an unsupported section).
    size_t abs32Count() const { return m_Abs32.size() - m_Dropped; }
    // The lowest RVA among them; abs32Count() must not be 0.
    uint32_t firstAbs32Rva();
    // Their RVAs, ascending; false when memory runs out. Takes time in their number, so callers
    // ask only when a section holds at least that many entries.
    bool abs32Rvas(GrowableArray<uint32_t>* rvas) const;
    // Emits image[from, to) as byte runs; false when the range is outside the image.
    bool emitBytes(uint64_t from, uint64_t to);
    // A program holds at most one relocation-table marker: assembly refuses a second.
    bool relocationTableEmitted() const { return m_TableEmitted; }
    void setRelocationTableEmitted() { m_TableEmitted = true; }

private:
    struct Abs32Place {
        uint32_t rva;
        uint64_t offset;
        bool used;
        bool dropped;
    };

    bool locateBranches(ElfBranchList* branches) const;
    bool writeSection(const ElfSection& section, ElfBranchList* branches,
                      RelocationHandler* handler);
    bool writeProgramBits(const ElfSection& section, ElfBranchList* branches);
    void prefetchLabelsAhead(const ElfBranchList& branches) const;
    bool emitAbs32At(uint64_t offset, uint64_t end);
    void dropAbs32In(const ElfSection& section);
    void noteUnrecognized(const ElfSection& section);
    Abs32Place* nextAbs32();
    bool allAbs32Used() const;

    const uint8_t* m_Image;
    size_t m_Length;
    const ElfLayout& m_Layout;
    DisassembledProgram* m_Program;
    uint64_t m_Cursor = 0;
    bool m_TableEmitted = false;
    // Sorted by RVA; m_ByOffset indexes them in file order for the walk.
    GrowableArray<Abs32Place> m_Abs32;
    GrowableArray<size_t> m_ByOffset;
    size_t m_NextAbs32 = 0;
    size_t m_NextBranch = 0;
    size_t m_Dropped = 0;
    size_t m_FirstActive = 0; // no place before it in RVA order is still in play
};

} // namespace deltapatch
