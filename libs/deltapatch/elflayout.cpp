// Address mappings over the section and segment tables of an ELF image.
#include "deltapatch/elflayout.h"

#include <algorithm>

namespace deltapatch {

namespace {

bool Holds(uint64_t begin, uint64_t size, uint64_t value)
{
    return value >= begin && value - begin < size;
}

uint64_t EndOf(uint64_t begin, uint64_t size)
{
    return size > UINT64_MAX - begin ? UINT64_MAX : begin + size;
}

template <typename Range> bool SortAndMerge(GrowableArray<Range>* ranges)
{
    Range* first = ranges->data();
    std::sort(first, first + ranges->size(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    size_t kept = 0;
    for (size_t i = 0; i < ranges->size(); ++i) {
        if (kept > 0 && first[i].begin <= first[kept - 1].end)
            first[kept - 1].end = std::max(first[kept - 1].end, first[i].end);
        else
            first[kept++] = first[i];
    }
    return ranges->resize(kept, Range{0, 0});
}

template <typename Range> bool InRanges(const GrowableArray<Range>& ranges, uint64_t value)
{
    const Range* first = ranges.data();
    const Range* last = first + ranges.size();
    const Range* after = std::upper_bound(
        first, last, value, [](uint64_t v, const Range& r) { return v < r.begin; });
    return after != first && value < (after - 1)->end;
}

} // namespace

void ElfLayout::clear()
{
    m_Sections.clear();
    m_Segments.clear();
    m_LoadRanges.clear();
    m_Pieces.clear();
    m_PlaceRanges.clear();
}

bool ElfLayout::finish()
{
    m_LoadRanges.clear();
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const ElfSegment& segment = m_Segments[i];
        if (segment.type != kElfSegmentLoad || segment.memorySize == 0)
            continue;
        if (!m_LoadRanges.push_back(Range{segment.address, EndOf(segment.address, segment.memorySize)}))
            return false;
    }
    return SortAndMerge(&m_LoadRanges) && buildPieces() && buildPlaceRanges();
}

// A segment maps the RVAs below both its memory and its file size. The first segment that maps
// an RVA wins; a tree over the cut points finds, for every piece, the lowest such segment.
bool ElfLayout::buildPieces()
{
    GrowableArray<uint64_t> cuts;
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const ElfSegment& s = m_Segments[i];
        const uint64_t size = std::min(s.memorySize, s.fileSize);
        if (size != 0 && (!cuts.push_back(s.address) || !cuts.push_back(EndOf(s.address, size))))
            return false;
    }
    uint64_t* first = cuts.data();
    std::sort(first, first + cuts.size());
    const size_t count = size_t(std::unique(first, first + cuts.size()) - first);
    size_t leaves = 1;
    while (leaves < count)
        leaves *= 2;
    GrowableArray<size_t> tree;
    if (!tree.resize(2 * leaves, kNoOwner))
        return false;
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const ElfSegment& s = m_Segments[i];
        const uint64_t size = std::min(s.memorySize, s.fileSize);
        if (size == 0)
            continue;
        size_t l = size_t(std::lower_bound(first, first + count, s.address) - first) + leaves;
        size_t r = size_t(std::lower_bound(first, first + count, EndOf(s.address, size)) - first) +
                   leaves;
        for (; l < r; l /= 2, r /= 2) {
            if (l & 1)
                tree[l] = std::min(tree[l], i), ++l;
            if (r & 1)
                --r, tree[r] = std::min(tree[r], i);
        }
    }
    m_Pieces.clear();
    for (size_t k = 0; k < count; ++k) {
        size_t owner = kNoOwner;
        for (size_t node = k + leaves; node >= 1; node /= 2)
            owner = std::min(owner, tree[node]);
        if (!m_Pieces.push_back(Piece{first[k], owner}))
            return false;
    }
    return true;
}

bool ElfLayout::buildPlaceRanges()
{
    m_PlaceRanges.clear();
    for (size_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSection& s = m_Sections[i];
        if ((s.type == ELF_SECTION_PROGBITS || s.type == ELF_SECTION_REL) && s.size != 0 &&
            !m_PlaceRanges.push_back(Range{s.offset, EndOf(s.offset, s.size)}))
            return false;
    }
    return SortAndMerge(&m_PlaceRanges);
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
    const Piece* first = m_Pieces.data();
    const Piece* last = first + m_Pieces.size();
    const Piece* after = std::upper_bound(
        first, last, uint64_t(rva), [](uint64_t v, const Piece& p) { return v < p.begin; });
    if (after == first || (after - 1)->owner == kNoOwner)
        return false;
    const ElfSegment& segment = m_Segments[(after - 1)->owner];
    const uint64_t distance = rva - segment.address;
    if (distance > UINT64_MAX - segment.offset)
        return false;
    *offset = segment.offset + distance;
    return true;
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
    return InRanges(m_LoadRanges, rva);
}

bool ElfLayout::isValidRelocationPlace(uint32_t rva) const
{
    uint64_t offset = 0;
    return rvaToFileOffset(rva, &offset) && InRanges(m_PlaceRanges, offset);
}

} // namespace deltapatch
