// The section walk that emits an ELF image into a program.
#include "deltapatch/elfprogramwriter.h"

#include <algorithm>
#include <string>

#include "deltapatch/enginelog.h"

namespace deltapatch {

namespace {

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool KeepsCursor(uint32_t type)
{
    return type != ELF_SECTION_PROGBITS && type != ELF_SECTION_REL;
}

} // namespace

ElfProgramWriter::ElfProgramWriter(const uint8_t* image, size_t length, const ElfLayout& layout,
                                   DisassembledProgram* program)
    : m_Image(image), m_Length(length), m_Layout(layout), m_Program(program)
{
}

bool ElfProgramWriter::sectionsAreOrdered(const ElfLayout& layout, size_t length)
{
    uint64_t cursor = 0;
    for (size_t i = 0; i < layout.sectionCount(); ++i) {
        const ElfSection& section = layout.section(i);
        if (section.offset < cursor || section.offset > length)
            return false;
        if (KeepsCursor(section.type)) {
            cursor = section.offset;
            continue;
        }
        if (section.size > length - section.offset)
            return false;
        cursor = section.offset + section.size;
    }
    return true;
}

bool ElfProgramWriter::addAbs32(uint32_t rva)
{
    return m_Abs32.push_back(Abs32Place{rva, 0, false, false});
}

bool ElfProgramWriter::locate(ElfBranchList* branches)
{
    Abs32Place* places = m_Abs32.data();
    const auto byRva = [](const Abs32Place& a, const Abs32Place& b) { return a.rva < b.rva; };
    // Relocations usually come in address order already; a stable sort would only copy them.
    if (!std::is_sorted(places, places + m_Abs32.size(), byRva))
        std::stable_sort(places, places + m_Abs32.size(), byRva);
    m_ByOffset.clear();
    if (!m_ByOffset.reserve(m_Abs32.size()))
        return false;
    for (size_t i = 0; i < m_Abs32.size(); ++i) {
        if (!m_Layout.rvaToFileOffset(places[i].rva, &places[i].offset))
            return false;
        m_ByOffset.push_back(i);
    }
    size_t* order = m_ByOffset.data();
    const auto byOffset = [places](size_t a, size_t b) { return places[a].offset < places[b].offset; };
    if (!std::is_sorted(order, order + m_ByOffset.size(), byOffset))
        std::stable_sort(order, order + m_ByOffset.size(), byOffset);
    return locateBranches(branches);
}

bool ElfProgramWriter::locateBranches(ElfBranchList* branches) const
{
    // Scanners find branches in file order, and file order with distinct offsets is what the
    // two stable sorts (by RVA, then by file offset) produce; they only run when it is not.
    const bool inFileOrder = branches->ascendingInFile();
    if (!inFileOrder)
        branches->sortByRva();
    const ElfLayout& layout = m_Layout;
    branches->keepOnly([&layout](const ElfBranch& branch) {
        uint64_t offset = 0;
        return layout.rvaToFileOffset(branch.rva(), &offset) && offset == branch.fileOffset();
    });
    if (!inFileOrder)
        branches->sortByFileOffset();
    return true;
}

uint32_t ElfProgramWriter::firstAbs32Rva()
{
    // Places are only ever dropped, so the first one in play only moves forward.
    while (m_FirstActive < m_Abs32.size() && m_Abs32[m_FirstActive].dropped)
        ++m_FirstActive;
    return m_FirstActive < m_Abs32.size() ? m_Abs32[m_FirstActive].rva : 0;
}

bool ElfProgramWriter::abs32Rvas(GrowableArray<uint32_t>* rvas) const
{
    rvas->clear();
    if (!rvas->reserve(abs32Count()))
        return false;
    for (size_t i = 0; i < m_Abs32.size(); ++i) {
        if (!m_Abs32[i].dropped && !rvas->push_back(m_Abs32[i].rva))
            return false;
    }
    return true;
}

bool ElfProgramWriter::emitBytes(uint64_t from, uint64_t to)
{
    if (from > to || to > m_Length)
        return false;
    if (!m_Program->emitBytes(m_Image + from, size_t(to - from)))
        return false;
    m_Cursor = to;
    return true;
}

bool ElfProgramWriter::write(ElfBranchList* branches, RelocationHandler* handler)
{
    if (!sectionsAreOrdered(m_Layout, m_Length))
        return false;
    // A run and a reference per place and branch; an origin, a marker and two runs per
    // section. Each reference makes at most one label, and in ELF code most do (three in four
    // ARM branches, two in three x86 ones): tables sized for all never grow and rehash.
    const size_t abs32 = m_Abs32.size();
    const size_t rel32 = branches->size();
    if (!m_Program->reserve(2 * (abs32 + rel32) + 4 * m_Layout.sectionCount() + 2, rel32, abs32))
        return false;
    m_Cursor = 0;
    m_NextAbs32 = 0;
    m_NextBranch = 0;
    m_FirstActive = 0;
    for (size_t i = 0; i < m_Layout.sectionCount(); ++i) {
        if (!writeSection(m_Layout.section(i), branches, handler))
            return false;
    }
    if (!emitBytes(m_Cursor, m_Length) || !allAbs32Used())
        return false;
    m_Program->assignDefaultIndexes();
    return true;
}

bool ElfProgramWriter::writeSection(const ElfSection& section, ElfBranchList* branches,
                                    RelocationHandler* handler)
{
    if (!emitBytes(m_Cursor, section.offset))
        return false;
    switch (section.type) {
    case ELF_SECTION_PROGBITS:
        return writeProgramBits(section, branches);
    case ELF_SECTION_NOBITS:
    case ELF_SECTION_INIT_ARRAY:
    case ELF_SECTION_FINI_ARRAY:
        dropAbs32In(section);
        return true;
    case ELF_SECTION_REL:
        if (!handler->handleRelocationSection(this, section))
            return false;
        // The handler emitted the section up to its end.
        return m_Cursor == section.offset + section.size;
    default:
        noteUnrecognized(section);
        return true;
    }
}

ElfProgramWriter::Abs32Place* ElfProgramWriter::nextAbs32()
{
    while (m_NextAbs32 < m_ByOffset.size()) {
        Abs32Place& place = m_Abs32[m_ByOffset[m_NextAbs32]];
        if (!place.used && !place.dropped)
            return &place;
        ++m_NextAbs32;
    }
    return nullptr;
}

bool ElfProgramWriter::writeProgramBits(const ElfSection& section, ElfBranchList* branches)
{
    if (!m_Program->emitOrigin(uint32_t(section.address)))
        return false;
    const uint64_t end = section.offset + section.size;
    while (m_Cursor < end) {
        Abs32Place* abs32 = nextAbs32();
        const uint64_t nextAbs = abs32 ? abs32->offset : UINT64_MAX;
        if (nextAbs < m_Cursor)
            return false;
        // A branch counts only when its first four bytes end before the next stop.
        const uint64_t limit = std::min(nextAbs, end);
        const ElfBranch* branch = nullptr;
        while (m_NextBranch < branches->size()) {
            const ElfBranch* candidate = &(*branches)[m_NextBranch];
            const uint64_t at = candidate->fileOffset();
            if (at >= limit)
                break;
            if (at >= m_Cursor && limit - at >= 4) {
                branch = candidate;
                break;
            }
            ++m_NextBranch;
        }
        const uint64_t stop = branch ? branch->fileOffset() : limit;
        if (!emitBytes(m_Cursor, stop))
            return false;
        if (stop == end)
            break;
        if (branch == nullptr) {
            if (!emitAbs32At(stop, end))
                return false;
            abs32->used = true;
            continue;
        }
        prefetchLabelsAhead(*branches);
        if (!branch->emitInstruction(m_Program, m_Image))
            return false;
        m_Cursor += branch->instructionSize();
        ++m_NextBranch;
    }
    m_Cursor = end;
    return true;
}

// Label lookups go to scattered places of a large table; asking for the slots of branches
// further ahead and for the labels of nearer ones keeps the walk from waiting on each.
void ElfProgramWriter::prefetchLabelsAhead(const ElfBranchList& branches) const
{
    constexpr size_t kSlotsAhead = 16;
    constexpr size_t kLabelsAhead = 8;
    if (branches.size() - m_NextBranch > kSlotsAhead)
        m_Program->prefetchRel32Slot(branches[m_NextBranch + kSlotsAhead].target());
    if (branches.size() - m_NextBranch > kLabelsAhead)
        m_Program->prefetchRel32Label(branches[m_NextBranch + kLabelsAhead].target());
}

bool ElfProgramWriter::emitAbs32At(uint64_t offset, uint64_t end)
{
    // A place whose value would run past its section cannot become a reference.
    if (end - offset < 4)
        return false;
    AddressLabel* label = m_Program->findOrMakeAbs32Label(ReadU32(m_Image + offset));
    if (label == nullptr || !m_Program->emitAbs32(label))
        return false;
    m_Cursor = offset + 4;
    return true;
}

void ElfProgramWriter::dropAbs32In(const ElfSection& section)
{
    const size_t* first = m_ByOffset.data();
    const size_t* last = first + m_ByOffset.size();
    const Abs32Place* places = m_Abs32.data();
    const size_t* at = std::lower_bound(first, last, section.offset, [places](size_t i, uint64_t o) {
        return places[i].offset < o;
    });
    for (; at != last && places[*at].offset - section.offset < section.size; ++at) {
        Abs32Place& place = m_Abs32[*at];
        if (place.used || place.dropped)
            continue;
        place.dropped = true;
        ++m_Dropped;
        logDebug("Skipping relocation entry for unsupported section: " +
                 std::to_string(section.type));
    }
}

void ElfProgramWriter::noteUnrecognized(const ElfSection& section)
{
    const Abs32Place* place = nextAbs32();
    if (place != nullptr && place->offset >= section.offset &&
        place->offset - section.offset < section.size)
        logDebug("Relocation address in unrecognized ELF section: " +
                 std::to_string(section.type));
}

bool ElfProgramWriter::allAbs32Used() const
{
    for (size_t i = 0; i < m_Abs32.size(); ++i) {
        if (!m_Abs32[i].used && !m_Abs32[i].dropped)
            return false;
    }
    return true;
}

} // namespace deltapatch
