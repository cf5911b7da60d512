// Address mappings over the section and segment tables of an ELF image.
#include "deltapatch/elflayout.h"

#include <algorithm>

namespace deltapatch {

namespace {

bool Holds(uint64_t begin, uint64_t size, uint64_t value)
{
    return value >= begin && value - begin < size;
}

} // namespace

void ElfLayout::clear()
{
    m_Sections.clear();
    m_Segments.clear();
    m_LoadRanges.clear();
}

bool ElfLayout::finish()
{
    m_LoadRanges.clear();
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const ElfSegment& segment = m_Segments[i];
        if (segment.type != kElfSegmentLoad || segment.memorySize == 0)
            continue;
        // Ends past 2^64 are clamped: no 32-bit RVA reaches that far anyway.
        const uint64_t end = segment.memorySize > UINT64_MAX - segment.address
                                 ? UINT64_MAX
                                 : segment.address + segment.memorySize;
        if (!m_LoadRanges.push_back(Range{segment.address, end}))
            return false;
    }
    Range* first = m_LoadRanges.data();
    std::sort(first, first + m_LoadRanges.size(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    size_t kept = 0;
    for (size_t i = 0; i < m_LoadRanges.size(); ++i) {
        if (kept > 0 && first[i].begin <= first[kept - 1].end)
            first[kept - 1].end = std::max(first[kept - 1].end, first[i].end);
        else
            first[kept++] = first[i];
    }
    return m_LoadRanges.resize(kept, Range{0, 0});
}

uint64_t ElfLayout::describedEnd() const
{
    uint64_t end = 0;
    for (size_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSection& s = m_Sections[i];
        if (s.type != ELF_SECTION_NOBITS)
            end = std::max(end, s.size > UINT64_MAX - s.offset ? UINT64_MAX : s.offset + s.size);
    }
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const ElfSegment& s = m_Segments[i];
        end = std::max(end, s.fileSize > UINT64_MAX - s.offset ? UINT64_MAX
                                                                 : s.offset + s.fileSize);
    }
    return end;
}

bool ElfLayout::rvaToFileOffset(uint32_t rva, uint64_t* offset) const
{
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const ElfSegment& segment = m_Segments[i];
        if (!Holds(segment.address, segment.memorySize, rva))
            continue;
        const uint64_t distance = rva - segment.address;
        if (distance >= segment.fileSize)
            continue;
        if (distance > UINT64_MAX - segment.offset)
            return false;
        *offset = segment.offset + distance;
        return true;
    }
    return false;
}

bool ElfLayout::fileOffsetToRva(uint64_t offset, uint32_t* rva) const
{
    for (size_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSection& section = m_Sections[i];
        if (section.type == ELF_SECTION_NOBITS || !Holds(section.offset, section.size, offset))
            continue;
        *rva = uint32_t(offset - section.offset + section.address);
        return true;
    }
    return false;
}

bool ElfLayout::isValidTarget(uint32_t rva) const
{
    const Range* first = m_LoadRanges.data();
    const Range* last = first + m_LoadRanges.size();
    const Range* after = std::upper_bound(
        first, last, uint64_t(rva), [](uint64_t t, const Range& r) { return t < r.begin; });
    return after != first && rva < (after - 1)->end;
}

bool ElfLayout::isValidRelocationPlace(uint32_t rva) const
{
    uint64_t offset = 0;
    if (!rvaToFileOffset(rva, &offset))
        return false;
    for (size_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSection& section = m_Sections[i];
        if ((section.type == ELF_SECTION_PROGBITS || section.type == ELF_SECTION_REL) &&
            Holds(section.offset, section.size, offset))
            return true;
    }
    return false;
}

} // namespace deltapatch
