// The work both PE parsers share: header checks, address mappings, the base relocation table,
// rel32 scanning of .text and emission. Each parser owns one and differs only in its flavour.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class DisassemblerWin32 {
public:
    struct DataDirectory {
        uint32_t rva = 0;
        uint32_t size = 0;
    };
    struct Section {
        char name[8];
        uint32_t virtualSize;
        uint32_t virtualAddress;
        uint32_t rawSize;
        uint32_t rawPointer;
    };
    enum DirectoryIndex {
        kExportDirectory = 0,
        kImportDirectory = 1,
        kResourceDirectory = 2,
        kExceptionDirectory = 3,
        kBaseRelocationDirectory = 5,
        kBoundImportDirectory = 11,
        kImportAddressTableDirectory = 12,
        kDelayImportDirectory = 13,
        kClrRuntimeDirectory = 14,
    };
    static constexpr int kDirectoryCount = 15;

    // `want64` picks the flavour: PE32+ images with DIR64 relocations and the x86-64 scanner,
    // or PE32 images with HIGHLOW relocations and the x86 scanner. The image is borrowed.
    DisassemblerWin32(const uint8_t* start, size_t length, bool want64);
    DisassemblerWin32(const DisassemblerWin32&) = delete;
    DisassemblerWin32& operator=(const DisassemblerWin32&) = delete;

    // Checks the headers and the section table; null when the image is accepted, otherwise
    // the reason. Every range read lies inside the image. length() is cut to the end of the
    // last section's raw data even when a later check fails.
    const char* parseHeader();
    // Emits the sections in file order (bytes after the last one are left out) with base
    // relocation places as abs32 and .text branches as rel32 references. On a relocation
    // table problem `*reason` names it; an emit failure leaves it null. Both return false.
    bool disassemble(DisassembledProgram* program, const char** reason);

    size_t length() const { return m_Length; }
    bool is64() const { return m_Is64; }
    uint64_t imageBase() const { return m_ImageBase; }
    uint32_t sizeOfImage() const { return m_SizeOfImage; }
    bool hasText() const { return m_HasText; }
    const DataDirectory& directory(DirectoryIndex index) const { return m_Directories[index]; }
    size_t sectionCount() const { return m_Sections.size(); }
    const Section& section(size_t i) const { return m_Sections[i]; }

    // File offset of an RVA through the first section whose virtual range holds it; -1 when
    // it lies past the section's raw data. RVAs 0 and 2 outside every section map to
    // themselves; any other RVA outside every section is logged and gives -1.
    int64_t rvaToFileOffset(uint32_t rva) const;
    // RVA of a file offset through the first section whose raw data holds it; 0 if none.
    uint32_t fileOffsetToRva(size_t offset) const;
    // Index of the section with raw data whose raw start is the lowest at or after `offset`
    // (the first in table order among equals); -1 if none.
    int64_t nextSectionAt(size_t offset) const;

    // Reads the base relocation table into abs32Places(); null or the reason.
    const char* findAbs32Places();
    // Scans every .text section for branch displacements; false when memory runs out.
    bool findRel32Places();
    const GrowableArray<uint32_t>& abs32Places() const { return m_Abs32Places; }
    const GrowableArray<uint32_t>& rel32Places() const { return m_Rel32Places; }

private:
    // A section in the order the walks visit them, with the RVA of its first raw byte.
    struct Visit {
        uint32_t section;
        uint32_t rva;
    };

    void reset();
    bool planVisits(GrowableArray<Visit>* visits) const;
    bool findRel32Places(const GrowableArray<Visit>& visits);
    const char* parseOptionalHeader(size_t offset);
    bool readDirectory(size_t optionalHeader, int index, DataDirectory* directory) const;
    const char* parseSections(uint64_t tableOffset);
    const char* readRelocationBlocks(size_t table, uint32_t size);
    bool scanSection(const Section& section, uint32_t start);
    bool emitBytes(DisassembledProgram* program, size_t from, size_t to) const;
    bool emitSection(DisassembledProgram* program, const Section& section, uint32_t rva) const;

    const uint8_t* m_Start;
    size_t m_FullLength;
    size_t m_Length;
    bool m_Want64;

    bool m_Is64 = false;
    uint16_t m_Machine = 0;
    uint16_t m_SectionCount = 0;
    uint16_t m_OptionalHeaderSize = 0;
    uint32_t m_DirectoryBase = 0;
    uint32_t m_SizeOfCode = 0;
    uint32_t m_SizeOfInitializedData = 0;
    uint32_t m_SizeOfUninitializedData = 0;
    uint32_t m_BaseOfCode = 0;
    uint32_t m_BaseOfData = 0;
    uint64_t m_ImageBase = 0;
    uint32_t m_SizeOfImage = 0;
    uint32_t m_NumberOfDirectories = 0;
    DataDirectory m_Directories[kDirectoryCount];
    bool m_HasText = false;
    GrowableArray<Section> m_Sections;
    // Indexes of the sections with raw data, by raw start (table order among equals).
    GrowableArray<uint32_t> m_RawOrder;
    GrowableArray<uint32_t> m_Abs32Places;
    GrowableArray<uint32_t> m_Rel32Places;
};

} // namespace deltapatch
