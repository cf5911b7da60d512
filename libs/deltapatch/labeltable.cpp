// Label storage in fixed blocks, an open-addressing RVA index and the lazily sorted RVA order.
#include "deltapatch/labeltable.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "deltapatch/bufferallocation.h"

namespace deltapatch {

namespace {

// A small first block for the many small programs; after it blocks of one huge page each, so
// that large tables fault their labels in by the 2 MiB.
constexpr uint32_t kFirstBlockSize = 4096;
constexpr uint32_t kBlockShift = 17;
constexpr uint32_t kBlockSize = uint32_t(1) << kBlockShift;
constexpr size_t kFirstIndexSize = 1024;
// Below this many labels a comparison sort beats the passes of the radix sort.
constexpr size_t kRadixSortFrom = 1024;
constexpr unsigned kRadixBits = 11;
// Entry numbers are stored plus one in 32 bits.
constexpr uint32_t kMaxEntries = 0xFFFFFFFEu;

size_t slotOf(uint32_t rva, size_t mask)
{
    // Fibonacci hashing: nearby RVAs (the usual case) spread over the whole index.
    return size_t((uint64_t(rva) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

size_t blockBytes(size_t block)
{
    return (block == 0 ? kFirstBlockSize : kBlockSize) * sizeof(LabelTable::Entry);
}

// Stable counting sort of `from` into `to` by the radix digit at `shift` of the keys' high
// halves; false (nothing done) when every key has the same digit there.
bool radixPass(const uint64_t* from, uint64_t* to, size_t n, unsigned shift)
{
    constexpr size_t kDigits = size_t(1) << kRadixBits;
    size_t counts[kDigits] = {};
    for (size_t i = 0; i < n; ++i)
        ++counts[(from[i] >> shift) & (kDigits - 1)];
    if (counts[(from[0] >> shift) & (kDigits - 1)] == n)
        return false;
    size_t position = 0;
    for (size_t& count : counts) {
        const size_t c = count;
        count = position;
        position += c;
    }
    for (size_t i = 0; i < n; ++i)
        to[counts[(from[i] >> shift) & (kDigits - 1)]++] = from[i];
    return true;
}

} // namespace

LabelTable::~LabelTable()
{
    for (size_t i = 0; i < m_Blocks.size(); ++i)
        FreeBuffer(m_Blocks[i], blockBytes(i));
}

LabelTable::Entry* LabelTable::entry(uint32_t number) const
{
    if (number < kFirstBlockSize)
        return m_Blocks[0] + number;
    const uint32_t rest = number - kFirstBlockSize;
    return m_Blocks[1 + (rest >> kBlockShift)] + (rest & (kBlockSize - 1));
}

const LabelTable::Entry* LabelTable::find(uint32_t rva) const
{
    if (m_IndexStale && !rebuildIndex())
        return nullptr;
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
    if (!m_Index.empty() && !m_IndexStale)
        __builtin_prefetch(m_Index.data() + slotOf(rva, m_Index.size() - 1));
}

void LabelTable::prefetchLabel(uint32_t rva) const
{
    if (m_Index.empty() || m_IndexStale)
        return;
    const Slot& slot = m_Index[slotOf(rva, m_Index.size() - 1)];
    if (slot.entry != 0 && slot.rva == rva)
        __builtin_prefetch(entry(slot.entry - 1), 1);
}

AddressLabel* LabelTable::findOrMake(uint32_t rva)
{
    if (m_Failed)
        return nullptr;
    if (m_IndexStale && !rebuildIndex()) {
        fail();
        return nullptr;
    }
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
    const bool blockFull = m_EntryCount < kFirstBlockSize
                               ? m_EntryCount == 0
                               : ((m_EntryCount - kFirstBlockSize) & (kBlockSize - 1)) == 0;
    if (blockFull) {
        const size_t bytes = blockBytes(m_Blocks.size());
        auto* block = static_cast<Entry*>(AllocateBuffer(bytes));
        if (block == nullptr)
            return nullptr;
        if (!m_Blocks.push_back(block)) {
            FreeBuffer(block, bytes);
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
    // Removed labels must not be carried over into the grown index.
    if (m_IndexStale && !rebuildIndex())
        return false;
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

// After labels left the table, at the next lookup: the index keeps its size (it only gets
// emptier), or after releaseIndex() gets one for the labels there are.
bool LabelTable::rebuildIndex() const
{
    size_t size = kFirstIndexSize;
    while (size / 2 < m_Order.size())
        size *= 2;
    if (m_Index.size() < size) {
        m_Index.clear();
        if (!m_Index.resize(size, Slot{0, 0}))
            return false;
    }
    m_IndexStale = false;
    Slot* slots = m_Index.data();
    std::fill(slots, slots + m_Index.size(), Slot{0, 0});
    const size_t mask = m_Index.size() - 1;
    for (size_t i = 0; i < m_Order.size(); ++i)
        insertIntoIndex(slots, mask, uint32_t(m_Order[i] >> 32), uint32_t(m_Order[i]) + 1);
    return true;
}

void LabelTable::releaseIndex()
{
    m_Index.clear();
    m_IndexStale = true;
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
    m_Sorted = true;
    // One label per RVA, so the keys are distinct and sort by RVA.
    GrowableArray<uint64_t> scratch;
    const size_t n = m_Order.size();
    if (n < kRadixSortFrom || !scratch.resize(n, 0)) {
        std::sort(m_Order.data(), m_Order.data() + n);
        return;
    }
    // By the RVA in the high half, least significant digit first.
    uint64_t* from = m_Order.data();
    uint64_t* to = scratch.data();
    for (unsigned shift = 32; shift < 64; shift += kRadixBits) {
        if (radixPass(from, to, n, shift))
            std::swap(from, to);
    }
    if (from != m_Order.data())
        std::memcpy(m_Order.data(), from, n * sizeof(uint64_t));
}

void LabelTable::fail()
{
    // The blocks stay: instructions may point at their labels.
    m_Failed = true;
    m_Order.clear();
    m_Index.clear();
    m_IndexStale = false;
}

} // namespace deltapatch
