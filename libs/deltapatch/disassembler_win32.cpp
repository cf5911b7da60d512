// PE images: header and section checks, address mappings, base relocations, .text scanning and
// emission, shared by the PE32 and PE32+ parsers.
#include "deltapatch/disassembler_win32.h"

#include <algorithm>
#include <cstring>

#include "deltapatch/enginelog.h"

namespace deltapatch {

namespace {

constexpr size_t kMinLength = 64;
constexpr size_t kPeOffsetField = 60;
constexpr size_t kCoffHeaderEnd = 24; // signature and COFF header
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kDirectoryBase32 = 96;
constexpr uint32_t kDirectoryBase64 = 112;
constexpr int kDirectoriesRead[] = {0, 1, 2, 3, 5, 11, 12, 13, 14};
constexpr size_t kSectionRecord = 40;
constexpr uint16_t kRelocationHighLow = 3;
constexpr uint16_t kRelocationDir64 = 10;
constexpr uint64_t kRvaSpace = uint64_t(1) << 32;

uint16_t ReadU16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t ReadU64(const uint8_t* p)
{
    return uint64_t(ReadU32(p)) | uint64_t(ReadU32(p + 4)) << 32;
}

bool IsText(const DisassemblerWin32::Section& section)
{
    return std::memcmp(section.name, ".text\0\0\0", 8) == 0;
}

// Offset of the displacement field of a branch or RIP-relative operand starting at p, or 0.
size_t CandidateField(const uint8_t* p, size_t left, bool x64)
{
    if (left >= 5 && (p[0] & 0xFE) == 0xE8)
        return 1; // call / jmp rel32
    if (x64 && left >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25))
        return 2; // call / jmp through [rip + disp32]
    // Conditional near jumps; JP and JNP are left out.
    if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && (p[1] & 0xFE) != 0x8A)
        return 2;
    if (x64 && left >= 7 && (p[0] & 0xFE) == 0x48 && (p[1] == 0x8D || p[1] == 0x8B) &&
        (p[2] & 0xC7) == 5)
        return 3; // lea / mov with a rip-relative operand
    return 0;
}

// Walks a sorted RVA list alongside an ascending RVA; starts over should the RVA wrap.
class PlaceCursor {
public:
    explicit PlaceCursor(const GrowableArray<uint32_t>& places)
        : m_First(places.data()), m_Count(places.size())
    {
    }
    bool at(uint32_t rva)
    {
        if (rva < m_Last)
            m_Next = std::lower_bound(m_First, m_First + m_Count, rva) - m_First;
        m_Last = rva;
        while (m_Next < m_Count && m_First[m_Next] < rva)
            ++m_Next;
        return m_Next < m_Count && m_First[m_Next] == rva;
    }
    // The lowest place above the RVA last asked about, or kRvaSpace.
    uint64_t nextAbove() const
    {
        size_t above = m_Next;
        while (above < m_Count && m_First[above] <= m_Last)
            ++above;
        return above < m_Count ? m_First[above] : kRvaSpace;
    }

private:
    const uint32_t* m_First;
    size_t m_Count;
    size_t m_Next = 0;
    uint32_t m_Last = 0;
};

// Bytes from `rva` (where both cursors stand) that can go out as one run: up to the next
// place, the relocation table, the end of the `left` bytes or the RVA wrapping around.
size_t RunLength(uint32_t rva, size_t left, uint32_t table, const PlaceCursor& abs32,
                 const PlaceCursor& rel32)
{
    uint64_t end = std::min(abs32.nextAbove(), rel32.nextAbove());
    if (table > rva)
        end = std::min<uint64_t>(end, table);
    return size_t(std::min<uint64_t>(left, end - rva));
}

void SortPlaces(GrowableArray<uint32_t>* places)
{
    std::sort(places->data(), places->data() + places->size());
}

// The RVA of file offsets that never decrease, with the meaning of fileOffsetToRva(), in
// O(log n) per step: a heap of the sections already started, lowest table index on top;
// sections that end before the offset leave the heap once they come to the top.
class RawOffsetMapper {
public:
    RawOffsetMapper(const GrowableArray<DisassemblerWin32::Section>& sections,
                    const GrowableArray<uint32_t>& rawOrder)
        : m_Sections(sections), m_RawOrder(rawOrder)
    {
    }
    bool rvaAt(size_t offset, uint32_t* rva)
    {
        const auto later = [](uint32_t a, uint32_t b) { return a > b; };
        while (m_Next < m_RawOrder.size() && m_Sections[m_RawOrder[m_Next]].rawPointer <= offset) {
            if (!m_Heap.push_back(m_RawOrder[m_Next++]))
                return false;
            std::push_heap(m_Heap.data(), m_Heap.data() + m_Heap.size(), later);
        }
        while (!m_Heap.empty() && !contains(m_Sections[m_Heap[0]], offset)) {
            std::pop_heap(m_Heap.data(), m_Heap.data() + m_Heap.size(), later);
            m_Heap.resize(m_Heap.size() - 1, 0);
        }
        const DisassemblerWin32::Section* first = m_Heap.empty() ? nullptr : &m_Sections[m_Heap[0]];
        *rva = first ? uint32_t(first->virtualAddress + (offset - first->rawPointer)) : 0;
        return true;
    }

private:
    static bool contains(const DisassemblerWin32::Section& section, size_t offset)
    {
        return offset >= section.rawPointer && offset - section.rawPointer < section.rawSize;
    }

    const GrowableArray<DisassemblerWin32::Section>& m_Sections;
    const GrowableArray<uint32_t>& m_RawOrder;
    size_t m_Next = 0;
    GrowableArray<uint32_t> m_Heap;
};

} // namespace

DisassemblerWin32::DisassemblerWin32(const uint8_t* start, size_t length, bool want64)
    : m_Start(start), m_FullLength(length), m_Length(length), m_Want64(want64)
{
}

void DisassemblerWin32::reset()
{
    m_Length = m_FullLength;
    m_HasText = false;
    for (DataDirectory& directory : m_Directories)
        directory = DataDirectory();
    m_Sections.clear();
    m_RawOrder.clear();
    m_Abs32Places.clear();
    m_Rel32Places.clear();
}

const char* DisassemblerWin32::parseHeader()
{
    reset();
    if (m_Length < kMinLength)
        return "Too small";
    if (m_Start[0] != 'M' || m_Start[1] != 'Z')
        return "Not MZ";
    const uint32_t pe = ReadU32(m_Start + kPeOffsetField);
    if (pe == 0 || pe >= m_Length || m_Length - pe <= kCoffHeaderEnd)
        return "Bad offset to PE header";
    if (pe % 8 != 0)
        return "Misaligned PE header";
    if (std::memcmp(m_Start + pe, "PE\0\0", 4) != 0)
        return "no PE signature";
    m_Machine = ReadU16(m_Start + pe + 4);
    m_SectionCount = ReadU16(m_Start + pe + 6);
    m_OptionalHeaderSize = ReadU16(m_Start + pe + 20);
    const size_t optional = size_t(pe) + kCoffHeaderEnd;
    if (m_OptionalHeaderSize >= m_Length - optional)
        return "optional header past end of file";
    if (m_OptionalHeaderSize < 2)
        return "optional header no magic";
    if (const char* reason = parseOptionalHeader(optional))
        return reason;
    if (const char* reason = parseSections(uint64_t(optional) + m_OptionalHeaderSize))
        return reason;
    if (m_Is64 && !m_Want64)
        return "64 bit executables are not supported by this disassembler";
    if (!m_Is64 && m_Want64)
        return "32 bit executables are not supported by this disassembler";
    if (!m_HasText)
        return "Resource-only executables are not yet supported";
    return nullptr;
}

// The optional header lies inside the image; each field offset is below its minimum size.
const char* DisassemblerWin32::parseOptionalHeader(size_t offset)
{
    const uint8_t* header = m_Start + offset;
    const uint16_t magic = ReadU16(header);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus)
        return "unrecognized magic";
    m_Is64 = magic == kMagicPe32Plus;
    m_DirectoryBase = m_Is64 ? kDirectoryBase64 : kDirectoryBase32;
    if (m_OptionalHeaderSize < m_DirectoryBase)
        return "optional header too short";
    m_SizeOfCode = ReadU32(header + 4);
    m_SizeOfInitializedData = ReadU32(header + 8);
    m_SizeOfUninitializedData = ReadU32(header + 12);
    m_BaseOfCode = ReadU32(header + 20);
    m_BaseOfData = m_Is64 ? 0 : ReadU32(header + 24);
    m_ImageBase = m_Is64 ? ReadU64(header + 24) : ReadU32(header + 28);
    m_SizeOfImage = ReadU32(header + 56);
    m_NumberOfDirectories = ReadU32(header + m_DirectoryBase - 4);
    bool allRead = true;
    for (int index : kDirectoriesRead)
        allRead = readDirectory(offset, index, &m_Directories[index]) && allRead;
    return allRead ? nullptr : "malformed data directory";
}

// An entry past the declared directory count is empty. The whole 8-byte entry, not only its
// start, must lie inside the optional header, so that it is inside the image as well.
bool DisassemblerWin32::readDirectory(size_t optionalHeader, int index,
                                      DataDirectory* directory) const
{
    *directory = DataDirectory();
    if (uint32_t(index) >= m_NumberOfDirectories)
        return true;
    const uint64_t entry = uint64_t(m_DirectoryBase) + 8 * uint64_t(index);
    if (entry + 8 > m_OptionalHeaderSize) // number of data directories inconsistent
        return false;
    if (optionalHeader + entry + 8 > m_Length) // data directory outside image
        return false;
    const uint8_t* bytes = m_Start + optionalHeader + entry;
    directory->rva = ReadU32(bytes);
    directory->size = ReadU32(bytes + 4);
    return directory->size <= m_SizeOfImage; // else: data directory size too big
}

// Section records and the raw data of every section must lie inside the image: the parser
// reads both.
const char* DisassemblerWin32::parseSections(uint64_t tableOffset)
{
    if (tableOffset + uint64_t(m_SectionCount) * kSectionRecord > m_Length)
        return "section table outside image";
    if (!m_Sections.reserve(m_SectionCount) || !m_RawOrder.reserve(m_SectionCount))
        return "out of memory";
    uint64_t highestEnd = 0;
    for (size_t i = 0; i < m_SectionCount; ++i) {
        const uint8_t* record = m_Start + tableOffset + i * kSectionRecord;
        Section section;
        std::memcpy(section.name, record, 8);
        section.virtualSize = ReadU32(record + 8);
        section.virtualAddress = ReadU32(record + 12);
        section.rawSize = ReadU32(record + 16);
        section.rawPointer = ReadU32(record + 20);
        const uint64_t rawEnd = uint64_t(section.rawPointer) + section.rawSize;
        if (section.rawSize != 0 && rawEnd > m_Length)
            return "section outside image";
        m_HasText = m_HasText || IsText(section);
        highestEnd = std::max(highestEnd, rawEnd);
        m_Sections.push_back(section);
        if (section.rawSize != 0)
            m_RawOrder.push_back(uint32_t(i));
    }
    if (highestEnd < m_Length)
        m_Length = size_t(highestEnd);
    const Section* sections = m_Sections.data();
    std::stable_sort(m_RawOrder.data(), m_RawOrder.data() + m_RawOrder.size(),
                     [sections](uint32_t a, uint32_t b) {
                         return sections[a].rawPointer < sections[b].rawPointer;
                     });
    return nullptr;
}

int64_t DisassemblerWin32::rvaToFileOffset(uint32_t rva) const
{
    for (size_t i = 0; i < m_Sections.size(); ++i) {
        const Section& section = m_Sections[i];
        if (rva < section.virtualAddress || rva - section.virtualAddress >= section.virtualSize)
            continue;
        const uint32_t distance = rva - section.virtualAddress;
        if (distance >= section.rawSize)
            return -1;
        return int64_t(section.rawPointer) + distance;
    }
    if (rva == 0 || rva == 2)
        return rva;
    logError("REACHED UNREACHABLE");
    return -1;
}

uint32_t DisassemblerWin32::fileOffsetToRva(size_t offset) const
{
    for (size_t i = 0; i < m_Sections.size(); ++i) {
        const Section& section = m_Sections[i];
        if (offset >= section.rawPointer && offset - section.rawPointer < section.rawSize)
            return uint32_t(section.virtualAddress + (offset - section.rawPointer));
    }
    return 0;
}

int64_t DisassemblerWin32::nextSectionAt(size_t offset) const
{
    const uint32_t* first = m_RawOrder.data();
    const uint32_t* last = first + m_RawOrder.size();
    const Section* sections = m_Sections.data();
    const uint32_t* found = std::lower_bound(first, last, offset, [sections](uint32_t i, size_t o) {
        return sections[i].rawPointer < o;
    });
    return found == last ? -1 : int64_t(*found);
}

const char* DisassemblerWin32::findAbs32Places()
{
    m_Abs32Places.clear();
    const DataDirectory& relocations = m_Directories[kBaseRelocationDirectory];
    if (relocations.size == 0)
        return nullptr;
    const int64_t table = rvaToFileOffset(relocations.rva);
    if (table < 0 || uint64_t(table) + relocations.size > m_Length)
        return ".relocs outside image";
    if (relocations.size > 8) {
        if (const char* reason = readRelocationBlocks(size_t(table), relocations.size))
            return reason;
    }
    SortPlaces(&m_Abs32Places);
    return nullptr;
}

// The table [table, table + size) lies inside the image and is longer than 8 bytes; a block
// may run past the directory's size but not past the image.
const char* DisassemblerWin32::readRelocationBlocks(size_t table, uint32_t size)
{
    const uint16_t wanted = m_Is64 ? kRelocationDir64 : kRelocationHighLow;
    uint64_t at = 0;
    while (true) {
        const uint8_t* block = m_Start + table + at;
        const uint32_t page = ReadU32(block);
        const uint32_t blockSize = ReadU32(block + 4);
        if (blockSize < 8 || blockSize % 4 != 0)
            return "unreasonable relocs block";
        if (table + at + blockSize > m_Length)
            return ".relocs block outside image";
        for (uint32_t entry = 8; entry < blockSize; entry += 2) {
            const uint16_t value = ReadU16(block + entry);
            if (value < 0x1000)
                continue; // padding
            if (value >> 12 != wanted)
                return "unknown type of reloc";
            if (!m_Abs32Places.push_back(page + (value & 0xFFF)))
                return "out of memory";
        }
        at += blockSize;
        if (at >= size || size - at <= 8)
            return nullptr;
    }
}

// Sections are visited in file order, leaving out any that starts inside one already visited,
// so that no byte is scanned or emitted twice.
bool DisassemblerWin32::planVisits(GrowableArray<Visit>* visits) const
{
    visits->clear();
    RawOffsetMapper mapper(m_Sections, m_RawOrder);
    size_t offset = 0;
    for (int64_t i = nextSectionAt(offset); i >= 0; i = nextSectionAt(offset)) {
        const Section& section = m_Sections[size_t(i)];
        Visit visit{uint32_t(i), 0};
        if (!mapper.rvaAt(section.rawPointer, &visit.rva) || !visits->push_back(visit))
            return false;
        offset = size_t(section.rawPointer) + section.rawSize;
    }
    return true;
}

bool DisassemblerWin32::findRel32Places()
{
    GrowableArray<Visit> visits;
    return planVisits(&visits) && findRel32Places(visits);
}

bool DisassemblerWin32::findRel32Places(const GrowableArray<Visit>& visits)
{
    m_Rel32Places.clear();
    for (size_t i = 0; i < visits.size(); ++i) {
        const Section& section = m_Sections[visits[i].section];
        if (IsText(section) && !scanSection(section, visits[i].rva))
            return false;
    }
    SortPlaces(&m_Rel32Places);
    return true;
}

// A candidate is kept only when it overlaps no relocation place and its target lies in this
// section: anything else is more likely data that happens to look like a branch.
bool DisassemblerWin32::scanSection(const Section& section, uint32_t start)
{
    const uint8_t* bytes = m_Start + section.rawPointer;
    const size_t size = section.rawSize;
    const uint64_t end = uint64_t(start) + section.virtualSize;
    const DataDirectory& relocations = m_Directories[kBaseRelocationDirectory];
    const uint32_t* abs32 = m_Abs32Places.data();
    const uint32_t* abs32End = abs32 + m_Abs32Places.size();
    size_t p = 0;
    while (p < size) {
        if (relocations.size != 0 && uint32_t(start + p) == relocations.rva) {
            p += relocations.size;
            continue;
        }
        const size_t field = CandidateField(bytes + p, size - p, m_Is64);
        if (field == 0) {
            ++p;
            continue;
        }
        const uint32_t place = uint32_t(start + p + field);
        const uint32_t* overlap = std::lower_bound(abs32, abs32End, place >= 3 ? place - 3 : 0);
        if (overlap != abs32End && uint64_t(*overlap) < uint64_t(place) + 4) {
            p = p + field + 4 + size_t(int64_t(*overlap) - int64_t(place));
            continue;
        }
        const uint32_t target = place + 4 + ReadU32(bytes + p + field);
        if (target >= start && target < end && target < m_SizeOfImage) {
            if (!m_Rel32Places.push_back(place))
                return false;
            p += field + 4;
        } else {
            ++p;
        }
    }
    return true;
}

bool DisassemblerWin32::emitBytes(DisassembledProgram* program, size_t from, size_t to) const
{
    return from >= to || program->emitBytes(m_Start + from, to - from);
}

// A place too close to the section's end to hold its 4 bytes is emitted as plain bytes. Bytes
// go out as runs that end wherever a place or the relocation table could start, so the
// program is the one a byte-by-byte walk would give.
bool DisassemblerWin32::emitSection(DisassembledProgram* program, const Section& section,
                                    uint32_t rva) const
{
    const uint8_t* bytes = m_Start + section.rawPointer;
    const size_t size = section.rawSize;
    if (!program->emitOrigin(rva))
        return false;
    const DataDirectory& relocations = m_Directories[kBaseRelocationDirectory];
    const uint32_t base = uint32_t(m_ImageBase);
    PlaceCursor abs32(m_Abs32Places);
    PlaceCursor rel32(m_Rel32Places);
    size_t at = 0;
    while (at < size) {
        if (rva == relocations.rva) {
            if (!program->emitPeRelocationTable())
                return false;
            if (relocations.size != 0) {
                at += relocations.size;
                rva += relocations.size;
                continue;
            }
        }
        const bool room = size - at >= 4;
        AddressLabel* label = nullptr;
        if (abs32.at(rva) && room) {
            label = program->findOrMakeAbs32Label(ReadU32(bytes + at) - base);
            if (label == nullptr || !program->emitAbs32(label))
                return false;
        } else if (rel32.at(rva) && room) {
            label = program->findOrMakeRel32Label(rva + 4 + ReadU32(bytes + at));
            if (label == nullptr || !program->emitRel32(label))
                return false;
        } else {
            const size_t run = RunLength(rva, size - at, relocations.rva, abs32, rel32);
            if (!program->emitBytes(bytes + at, run))
                return false;
            at += run;
            rva += uint32_t(run);
            continue;
        }
        at += 4;
        rva += 4;
    }
    return true;
}

bool DisassemblerWin32::disassemble(DisassembledProgram* program, const char** reason)
{
    *reason = nullptr;
    program->setImageBase(m_ImageBase);
    if ((*reason = findAbs32Places()) != nullptr)
        return false;
    GrowableArray<Visit> visits;
    if (!planVisits(&visits) || !findRel32Places(visits))
        return false;
    // A run and a reference per place; an origin, a table marker and two runs per section.
    // About half the references of a program go to a target of their own.
    const size_t abs32 = m_Abs32Places.size();
    const size_t rel32 = m_Rel32Places.size();
    if (!program->reserve(2 * (abs32 + rel32) + 4 * visits.size(), rel32 / 2, abs32 / 2))
        return false;
    size_t cursor = 0;
    for (size_t i = 0; i < visits.size(); ++i) {
        const Section& section = m_Sections[visits[i].section];
        if (!emitBytes(program, cursor, section.rawPointer) ||
            !emitSection(program, section, visits[i].rva))
            return false;
        cursor = size_t(section.rawPointer) + section.rawSize;
    }
    program->assignDefaultIndexes();
    return true;
}

} // namespace deltapatch
