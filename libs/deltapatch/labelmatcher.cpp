// Label matching between an old and a new program of the same kind.
//
// Labels are the program's identities for code and data addresses; a reference is encoded as
// its label's index. Two builds of a program share most of their code, but its addresses move,
// so the raw bytes of every reference across a moved stretch differ while the label indexes can
// stay the same, provided the new program numbers its labels after the old one.
//
// The matcher works in four steps, each on the labels the earlier ones left:
//  1. References. The block diff scan of the two files aligns new bytes with old bytes (copies
//     with differences, so moved displacements do not break an alignment). A new reference whose
//     first byte is aligned with the first byte of an old reference of the same table votes
//     "new label -> old label". Votes are counted and taken greedily, most votes first, into a
//     one-to-one map: a label that many aligned references agree on is the same label.
//  2. Targets. A new label's own address is turned into an image offset (through the stretches
//     the program's origins place), carried through the alignment to an old offset and back to
//     an old address; an unclaimed old label at exactly that address matches.
//  3. Neighbours. Going up the new labels by address, an unmatched label tries the address shift
//     of its nearest matched neighbour below, then above; an unclaimed old label at the shifted
//     address matches if it also lies between the old labels of those neighbours. Data tables
//     and code that moved as a block are matched this way even where nothing refers to them
//     from aligned code. Each match here lends its shift to the labels above it.
//  4. Indexes for the rest. Going up by address again, an unmatched label takes the lowest free
//     old index above its lower neighbour's final index and below its upper matched neighbour's,
//     so that the index-to-address table stays in address order; otherwise a fresh index after
//     the old index space.
// Matching only decides indexes: a poor match makes the element diff larger, never wrong.
#include "deltapatch/labelmatcher.h"

#include <algorithm>
#include <map>

namespace deltapatch {
namespace {

constexpr int64_t kFree = -1;

class TableMatcher {
public:
    TableMatcher(const MatchInput& input, LabelTableId table)
        : m_In(input), m_Table(table), m_Old(*input.oldProgram), m_New(*input.newProgram),
          m_OldOwner(m_Old.indexSpace(table), kFree), m_NewMatch(m_New.indexSpace(table), kFree),
          m_OldRva(m_Old.indexSpace(table), 0)
    {
        for (const IndexedLabel& label : m_Old.labels(table))
            m_OldRva[label.index] = label.rva;
    }

    LabelIndexMap run()
    {
        LabelIndexMap map;
        map.byReferences = matchByReferences();
        map.byTargets = matchByTargets();
        map.byNeighbours = matchByNeighbours();
        assignIndexes(&map);
        return map;
    }

private:
    bool claim(uint32_t newIndex, int64_t oldIndex)
    {
        if (oldIndex < 0 || m_NewMatch[newIndex] != kFree || m_OldOwner[oldIndex] != kFree)
            return false;
        m_NewMatch[newIndex] = oldIndex;
        m_OldOwner[oldIndex] = newIndex;
        return true;
    }

    // Old image offset aligned with a new image offset, or -1 outside the old element.
    int64_t alignedOldOffset(uint64_t newOffset) const
    {
        const int64_t old = m_In.alignment->oldOffsetOf(m_In.newOffset + newOffset);
        if (old < 0 || uint64_t(old) < m_In.oldOffset || uint64_t(old) - m_In.oldOffset >= m_In.oldLength)
            return -1;
        return old - int64_t(m_In.oldOffset);
    }

    size_t matchByReferences();
    size_t matchByTargets();
    size_t matchByNeighbours();
    bool tryShift(const IndexedLabel& label, int64_t shift, int64_t lowOld, int64_t highOld);
    void assignIndexes(LabelIndexMap* map) const;

    const MatchInput& m_In;
    LabelTableId m_Table;
    const ProgramReferences& m_Old;
    const ProgramReferences& m_New;
    std::vector<int64_t> m_OldOwner; // old index -> new index, or kFree
    std::vector<int64_t> m_NewMatch; // new index -> old index, or kFree
    std::vector<uint32_t> m_OldRva;  // old index -> RVA
};

struct Vote {
    uint64_t count;
    uint32_t newIndex;
    uint32_t oldIndex;
};

size_t TableMatcher::matchByReferences()
{
    std::vector<uint64_t> pairs;
    for (const LabelReference& ref : m_New.references(m_Table)) {
        const int64_t old = alignedOldOffset(ref.offset);
        const int64_t oldIndex = old < 0 ? -1 : m_Old.indexReferencedAt(m_Table, uint64_t(old));
        if (oldIndex >= 0)
            pairs.push_back(uint64_t(ref.index) << 32 | uint64_t(oldIndex));
    }
    std::sort(pairs.begin(), pairs.end());
    std::vector<Vote> votes;
    for (size_t i = 0; i < pairs.size();) {
        size_t j = i;
        while (j < pairs.size() && pairs[j] == pairs[i])
            ++j;
        votes.push_back({j - i, uint32_t(pairs[i] >> 32), uint32_t(pairs[i])});
        i = j;
    }
    pairs = std::vector<uint64_t>();
    // Most votes first; ties in index order so that the result does not depend on the sort.
    std::sort(votes.begin(), votes.end(), [](const Vote& a, const Vote& b) {
        if (a.count != b.count)
            return a.count > b.count;
        return a.newIndex != b.newIndex ? a.newIndex < b.newIndex : a.oldIndex < b.oldIndex;
    });
    size_t matched = 0;
    for (const Vote& vote : votes)
        matched += claim(vote.newIndex, vote.oldIndex) ? 1 : 0;
    return matched;
}

size_t TableMatcher::matchByTargets()
{
    size_t matched = 0;
    for (const IndexedLabel& label : m_New.labels(m_Table)) {
        if (m_NewMatch[label.index] != kFree)
            continue;
        const int64_t newOffset = m_New.offsetOfRva(label.rva);
        const int64_t oldOffset = newOffset < 0 ? -1 : alignedOldOffset(uint64_t(newOffset));
        const int64_t oldRva = oldOffset < 0 ? -1 : m_Old.rvaOfOffset(uint64_t(oldOffset));
        if (oldRva >= 0 && claim(label.index, m_Old.indexAtRva(m_Table, uint32_t(oldRva))))
            ++matched;
    }
    return matched;
}

bool TableMatcher::tryShift(const IndexedLabel& label, int64_t shift, int64_t lowOld,
                            int64_t highOld)
{
    const int64_t oldRva = int64_t(label.rva) + shift;
    if (oldRva <= lowOld || oldRva >= highOld || oldRva > int64_t(UINT32_MAX))
        return false;
    return claim(label.index, m_Old.indexAtRva(m_Table, uint32_t(oldRva)));
}

size_t TableMatcher::matchByNeighbours()
{
    // New RVA -> old RVA of every matched label; grows as this step matches more.
    std::map<uint32_t, int64_t> matchedAt;
    for (const IndexedLabel& label : m_New.labels(m_Table)) {
        if (m_NewMatch[label.index] != kFree)
            matchedAt.emplace(label.rva, m_OldRva[m_NewMatch[label.index]]);
    }
    size_t matched = 0;
    for (const IndexedLabel& label : m_New.labels(m_Table)) {
        if (m_NewMatch[label.index] != kFree)
            continue;
        const auto above = matchedAt.upper_bound(label.rva);
        const bool hasAbove = above != matchedAt.end();
        const bool hasBelow = above != matchedAt.begin();
        const int64_t lowOld = hasBelow ? std::prev(above)->second : -1;
        const int64_t highOld = hasAbove ? above->second : int64_t(UINT32_MAX) + 1;
        const bool found =
            (hasBelow && tryShift(label, lowOld - std::prev(above)->first, lowOld, highOld)) ||
            (hasAbove && tryShift(label, highOld - above->first, lowOld, highOld));
        if (found) {
            matchedAt.emplace(label.rva, m_OldRva[m_NewMatch[label.index]]);
            ++matched;
        }
    }
    return matched;
}

// Smallest free old index at or above a value: claimed indexes point past themselves.
class FreeIndexes {
public:
    explicit FreeIndexes(const std::vector<int64_t>& owners) : m_Next(owners.size() + 1)
    {
        for (size_t i = 0; i < m_Next.size(); ++i)
            m_Next[i] = i < owners.size() && owners[i] != kFree ? i + 1 : i;
    }
    // owners.size() when none is left.
    size_t from(size_t index)
    {
        size_t root = index;
        while (m_Next[root] != root)
            root = m_Next[root];
        while (m_Next[index] != root)
            index = std::exchange(m_Next[index], root);
        return root;
    }
    void take(size_t index) { m_Next[index] = index + 1; }

private:
    std::vector<size_t> m_Next;
};

void TableMatcher::assignIndexes(LabelIndexMap* map) const
{
    const std::vector<IndexedLabel>& labels = m_New.labels(m_Table);
    const uint32_t oldSpace = m_Old.indexSpace(m_Table);
    map->finalIndex.assign(m_New.indexSpace(m_Table), LabelIndexMap::kUnmapped);
    // For each label, the old index of the nearest matched label above it (or none).
    std::vector<int64_t> upper(labels.size(), -1);
    for (size_t i = labels.size(); i-- > 1;) {
        const int64_t match = m_NewMatch[labels[i].index];
        upper[i - 1] = match != kFree ? match : upper[i];
    }
    FreeIndexes free(m_OldOwner);
    uint32_t fresh = oldSpace;
    int64_t last = -1;
    for (size_t i = 0; i < labels.size(); ++i) {
        int64_t index = m_NewMatch[labels[i].index];
        if (index == kFree) {
            const size_t start = size_t(last + 1);
            const size_t gap = start < oldSpace ? free.from(start) : oldSpace;
            const bool fits = gap < oldSpace && (upper[i] < 0 || int64_t(gap) < upper[i]);
            index = fits ? int64_t(gap) : int64_t(fresh++);
            if (fits)
                free.take(gap);
            ++map->unmatched;
        }
        map->finalIndex[labels[i].index] = uint32_t(index);
        last = index;
    }
    map->indexSpace = std::max(oldSpace, fresh);
}

} // namespace

LabelIndexMap MatchLabels(const MatchInput& input, LabelTableId table)
{
    return TableMatcher(input, table).run();
}

} // namespace deltapatch
