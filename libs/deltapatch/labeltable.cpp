// Label storage in fixed blocks, an open-addressing RVA index and the lazily sorted RVA order.
#include "deltapatch/labeltable.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace deltapatch {

namespace {

constexpr uint32_t kBlockShift = 12;
constexpr uint32_t kBlockSize = uint32_t(1) << kBlockShift;
constexpr size_t kFirstIndexSize = 1024;
// Entry numbers are stored plus one in 32 bits.
constexpr uint32_t kMaxEntries = 0xFFFFFFFEu;

size_t slotOf(uint32_t rva, size_t mask)
{
    // Fibonacci hashing: nearby RVAs (the usual case) spread over the whole index.
    return size_t((uint64_t(rva) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

} // namespace

LabelTable::~LabelTable()
{
    for (size_t i = 0; i < m_Blocks.size(); ++i)
        std::free(m_Blocks[i]);
}

LabelTable::Entry* LabelTable::entry(uint32_t number) const
{
    return m_Blocks[number >> kBlockShift] + (number & (kBlockSize - 1));
}

const LabelTable::Entry* LabelTable::find(uint32_t rva) const
{
    if (m_Index.empty())
        return nullptr;
    const size_t mask = m_Index.size() - 1;
    for (size_t at = slotOf(rva, mask);; at = (at + 1) & mask) {
        const Slot& slot = m_Index[at];
        if (slot.entry == 0)
            return nullptr;
        if (slot.rva == rva)
            return entry(slot.entry - 1);
    }
}

void LabelTable::prefetchSlot(uint32_t rva) const
{
    if (!m_Index.empty())
        __builtin_prefetch(m_Index.data() + slotOf(rva, m_Index.size() - 1));
}

void LabelTable::prefetchLabel(uint32_t rva) const
{
    if (m_Index.empty())
        return;
    const Slot& slot = m_Index[slotOf(rva, m_Index.size() - 1)];
    if (slot.entry != 0 && slot.rva == rva)
        __builtin_prefetch(entry(slot.entry - 1), 1);
}

AddressLabel* LabelTable::findOrMake(uint32_t rva)
{
    if (m_Failed)
        return nullptr;
    if (m_Index.empty() || (m_Order.size() + 1) * 2 > m_Index.size()) {
        if (!resizeIndex(m_Index.empty() ? kFirstIndexSize : m_Index.size() * 2)) {
            fail();
            return nullptr;
        }
    }
    const size_t mask = m_Index.size() - 1;
    size_t at = slotOf(rva, mask);
    for (; m_Index[at].entry != 0; at = (at + 1) & mask) {
        if (m_Index[at].rva == rva)
            return &entry(m_Index[at].entry - 1)->second;
    }
    Entry* made = newEntry(rva);
    if (made == nullptr || !m_Order.push_back(uint64_t(rva) << 32 | (m_EntryCount - 1))) {
        fail();
        return nullptr;
    }
    const size_t n = m_Order.size();
    if (n > 1 && m_Order[n - 2] > m_Order[n - 1])
        m_Sorted = false;
    m_Index[at] = Slot{rva, m_EntryCount};
    return &made->second;
}

LabelTable::Entry* LabelTable::newEntry(uint32_t rva)
{
    if (m_EntryCount >= kMaxEntries)
        return nullptr;
    if ((m_EntryCount & (kBlockSize - 1)) == 0) {
        Entry* block = static_cast<Entry*>(std::malloc(sizeof(Entry) * kBlockSize));
        if (block == nullptr)
            return nullptr;
        if (!m_Blocks.push_back(block)) {
            std::free(block);
            return nullptr;
        }
    }
    Entry* made = entry(m_EntryCount);
    new (made) Entry{rva, AddressLabel{}};
    made->second.rva = rva;
    ++m_EntryCount;
    return made;
}

bool LabelTable::reserve(size_t labels)
{
    if (m_Failed || labels > kMaxEntries) {
        fail();
        return false;
    }
    size_t size = kFirstIndexSize;
    while (size / 2 < labels)
        size *= 2;
    if ((size > m_Index.size() && !resizeIndex(size)) || !m_Order.reserve(labels)) {
        fail();
        return false;
    }
    return true;
}

// `size` is a power of two at least twice the number of labels.
bool LabelTable::resizeIndex(size_t size)
{
    GrowableArray<Slot> grown;
    if (!grown.resize(size, Slot{0, 0}))
        return false;
    for (size_t i = 0; i < m_Index.size(); ++i) {
        if (m_Index[i].entry != 0)
            insertIntoIndex(grown.data(), size - 1, m_Index[i].rva, m_Index[i].entry);
    }
    m_Index = std::move(grown);
    return true;
}

void LabelTable::insertIntoIndex(Slot* slots, size_t mask, uint32_t rva, uint32_t number) const
{
    size_t at = slotOf(rva, mask);
    while (slots[at].entry != 0)
        at = (at + 1) & mask;
    slots[at] = Slot{rva, number};
}

// After labels left the table: the index keeps its size (it only gets emptier).
void LabelTable::rebuildIndex()
{
    Slot* slots = m_Index.data();
    std::fill(slots, slots + m_Index.size(), Slot{0, 0});
    const size_t mask = m_Index.size() - 1;
    for (size_t i = 0; i < m_Order.size(); ++i)
        insertIntoIndex(slots, mask, uint32_t(m_Order[i] >> 32), uint32_t(m_Order[i]) + 1);
}

LabelTable::const_iterator LabelTable::begin() const
{
    sortOrder();
    return const_iterator(this, 0);
}

void LabelTable::numberInRvaOrder()
{
    sortOrder();
    for (size_t i = 0; i < m_Order.size(); ++i)
        entryAt(i)->second.index = int32_t(i);
}

void LabelTable::sortOrder() const
{
    if (m_Sorted)
        return;
    // One label per RVA, so the keys are distinct and sort by RVA.
    std::sort(m_Order.data(), m_Order.data() + m_Order.size());
    m_Sorted = true;
}

void LabelTable::fail()
{
    // The blocks stay: instructions may point at their labels.
    m_Failed = true;
    m_Order.clear();
    m_Index.clear();
}

} // namespace deltapatch
