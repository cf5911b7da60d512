// One label per RVA: hashed lookup while a parser emits, iteration in ascending RVA order after.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/addresslabel.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// Labels live in fixed blocks that never move, so an AddressLabel* stays valid for the table's
// lifetime, also after remove(). Nothing here throws: allocation failure gives a null label
// and leaves the table failed (empty to readers, refusing new labels).
class LabelTable {
public:
    // Shaped like an ordered map's entry so that readers iterate as they would over one.
    struct Entry {
        uint32_t first; // the RVA
        AddressLabel second;
    };

    class const_iterator {
    public:
        const Entry& operator*() const { return *m_Table->entryAt(m_Position); }
        const Entry* operator->() const { return m_Table->entryAt(m_Position); }
        const_iterator& operator++()
        {
            ++m_Position;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return m_Position == other.m_Position; }
        bool operator!=(const const_iterator& other) const { return m_Position != other.m_Position; }

    private:
        friend class LabelTable;
        const_iterator(const LabelTable* table, size_t position)
            : m_Table(table), m_Position(position)
        {
        }
        const LabelTable* m_Table;
        size_t m_Position;
    };

    LabelTable() = default;
    ~LabelTable();
    LabelTable(const LabelTable&) = delete;
    LabelTable& operator=(const LabelTable&) = delete;

    // Sizes the index for `labels` labels, so that making that many never rehashes it. False
    // when memory runs out (the table is then failed).
    bool reserve(size_t labels);

    // The label for `rva` (its rva set, count and index untouched when it is new: 0 and -1),
    // made on first request. Null when memory runs out.
    AddressLabel* findOrMake(uint32_t rva);

    // Hints only: start loading what findOrMake(rva) will read, so that a parser that knows
    // its next targets can hide the cache misses of a large table. The index slot is asked
    // for first; once it has arrived, the label it names.
    void prefetchSlot(uint32_t rva) const;
    void prefetchLabel(uint32_t rva) const;

    size_t size() const { return m_Order.size(); }
    bool empty() const { return m_Order.empty(); }
    size_t count(uint32_t rva) const { return find(rva) != nullptr ? 1 : 0; }
    // Ascending RVA order. The first iteration after new labels sorts them (in place, so it
    // cannot fail); a table is therefore not to be read from two threads while it is growing.
    const_iterator begin() const;
    const_iterator end() const { return const_iterator(this, m_Order.size()); }

    // Gives the labels indexes 0, 1, 2, ... in ascending RVA order.
    void numberInRvaOrder();
    // Frees the lookup index, the larger part of a big table's memory, once a parser is done
    // making labels. The next lookup builds it again (and fails, like running out of memory,
    // when it cannot).
    void releaseIndex();
    // Takes the labels `drop` picks out of lookup and iteration; their memory stays.
    template <typename Predicate> void remove(Predicate drop);

private:
    struct Slot {
        uint32_t rva;
        uint32_t entry; // entry number + 1; 0 marks a free slot
    };

    Entry* entryAt(size_t position) const { return entry(uint32_t(m_Order[position])); }
    Entry* entry(uint32_t number) const;
    const Entry* find(uint32_t rva) const;
    Entry* newEntry(uint32_t rva);
    bool resizeIndex(size_t size);
    void insertIntoIndex(Slot* slots, size_t mask, uint32_t rva, uint32_t number) const;
    bool rebuildIndex() const;
    void sortOrder() const;
    void fail();

    // A first small block of entries, then blocks of one huge page each.
    GrowableArray<Entry*> m_Blocks;
    uint32_t m_EntryCount = 0;
    // Open addressing, linear probing, at most half full; size a power of two. Stale after a
    // removal until the next lookup.
    mutable GrowableArray<Slot> m_Index;
    mutable bool m_IndexStale = false;
    // (rva << 32 | entry number) per label in the table; sorted lazily.
    mutable GrowableArray<uint64_t> m_Order;
    mutable bool m_Sorted = true;
    bool m_Failed = false;
};

template <typename Predicate> void LabelTable::remove(Predicate drop)
{
    sortOrder();
    size_t kept = 0;
    for (size_t i = 0; i < m_Order.size(); ++i) {
        if (!drop(entryAt(i)->second))
            m_Order[kept++] = m_Order[i];
    }
    if (kept == m_Order.size())
        return;
    // Shrinking never allocates. Trimming looks nothing up afterwards: the index is rebuilt
    // only when something does.
    m_Order.resize(kept, 0);
    m_IndexStale = true;
}

} // namespace deltapatch
