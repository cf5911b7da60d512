// Section and segment tables of an ELF image in one width-independent form, with the address
// mappings the ELF parsers share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/streams.h"

namespace deltapatch {

enum ElfSectionType : uint32_t {
    ELF_SECTION_PROGBITS = 1,
    ELF_SECTION_NOBITS = 8,
    ELF_SECTION_REL = 9,
    ELF_SECTION_INIT_ARRAY = 14,
    ELF_SECTION_FINI_ARRAY = 15,
};

constexpr uint32_t kElfSegmentLoad = 1;

struct ElfSection {
    uint32_t type;
    uint64_t address;
    uint64_t offset;
    uint64_t size;
    uint64_t entrySize;
};

struct ElfSegment {
    uint32_t type;
    uint64_t offset;
    uint64_t address;
    uint64_t fileSize;
    uint64_t memorySize;
};

class ElfLayout {
public:
    void clear();
    // False when memory runs out.
    bool addSection(const ElfSection& section) { return m_Sections.push_back(section); }
    bool addSegment(const ElfSegment& segment) { return m_Segments.push_back(segment); }
    // Prepares the lookups; call once all sections and segments are added. False when memory
    // runs out. Lookups then take logarithmic time, however many entries the tables have.
    bool finish();

    size_t sectionCount() const { return m_Sections.size(); }
    const ElfSection& section(size_t i) const { return m_Sections[i]; }
    size_t segmentCount() const { return m_Segments.size(); }
    const ElfSegment& segment(size_t i) const { return m_Segments[i]; }

    // The file end the tables describe: the largest end of a section with file bytes or of a
    // segment's file bytes (64-bit, so it may lie beyond the image).
    uint64_t describedEnd() const;

    // File offset of an RVA through the first segment whose memory range holds it and whose
    // file bytes reach it; false when there is none.
    bool rvaToFileOffset(uint32_t rva, uint64_t* offset) const;
    // RVA of a file offset through the first section with file bytes that holds it.
    bool fileOffsetToRva(uint64_t offset, uint32_t* rva) const;
    // True when the RVA lies in the memory range of a loadable segment.
    bool isValidTarget(uint32_t rva) const;
    // True when the RVA maps to a file offset inside a program-bits or relocation section.
    bool isValidRelocationPlace(uint32_t rva) const;

private:
    struct Range {
        uint64_t begin;
        uint64_t end;
    };
    // From `begin` up to the next piece's begin, RVAs map through segment `owner` (none when
    // owner is kNoOwner).
    struct Piece {
        uint64_t begin;
        size_t owner;
    };
    static constexpr size_t kNoOwner = SIZE_MAX;

    bool buildPieces();
    bool buildPlaceRanges();

    GrowableArray<ElfSection> m_Sections;
    GrowableArray<ElfSegment> m_Segments;
    // Memory ranges of the loadable segments, sorted and merged.
    GrowableArray<Range> m_LoadRanges;
    // The RVA space cut where segments begin and end, each piece owned by the first segment
    // that maps it to file bytes.
    GrowableArray<Piece> m_Pieces;
    // File ranges of the program-bits and relocation sections, sorted and merged.
    GrowableArray<Range> m_PlaceRanges;
};

} // namespace deltapatch
