// Suffix sorting by induced sorting: LMS substrings are sorted and named, the reduced string of
// names is sorted recursively, and all other suffixes are induced from the sorted LMS suffixes.
#include "deltapatch/sais.h"

#include <algorithm>
#include <memory>
#include <new>

namespace deltapatch {
namespace {

constexpr int32_t kEmpty = -1; // free slot while LMS substrings are named
constexpr int32_t kFree = 0;   // free slot while suffixes are induced

// One bit per position, set for S-type suffixes (smaller than the suffix that follows them).
// Bits cost n/8 bytes against 4n for the array itself.
class SuffixTypes {
public:
    bool allocate(int32_t n)
    {
        m_Bits.reset(new (std::nothrow) uint8_t[(static_cast<size_t>(n) + 7) / 8]());
        return m_Bits != nullptr;
    }
    bool isS(int32_t i) const { return (m_Bits[i >> 3] >> (i & 7)) & 1; }
    void setS(int32_t i) { m_Bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7)); }
    bool isLms(int32_t i) const { return i > 0 && isS(i) && !isS(i - 1); }

private:
    std::unique_ptr<uint8_t[]> m_Bits;
};

// One recursion level. The text is followed by a virtual sentinel smaller than every symbol.
template <typename Sym> struct Level {
    const Sym* s;
    int32_t* sa;
    int32_t n;
    int32_t k;    // alphabet size
    int32_t* bkt; // k bucket cursors
    SuffixTypes types;
    const int32_t* counts; // k symbol counts, or null to count again each time
};

template <typename Sym> bool classify(Level<Sym>* lv)
{
    if (!lv->types.allocate(lv->n))
        return false;
    // The last suffix is L-type because only the sentinel follows it.
    for (int32_t i = lv->n - 2; i >= 0; --i) {
        if (lv->s[i] < lv->s[i + 1] || (lv->s[i] == lv->s[i + 1] && lv->types.isS(i + 1)))
            lv->types.setS(i);
    }
    return true;
}

template <typename Sym> void countSymbols(const Sym* s, int32_t n, int32_t k, int32_t* counts)
{
    std::fill(counts, counts + k, 0);
    for (int32_t i = 0; i < n; ++i)
        ++counts[s[i]];
}

// Sets each bucket cursor to the start (or one past the end) of its bucket.
template <typename Sym> void bucketBounds(const Level<Sym>& lv, bool ends)
{
    if (lv.counts)
        std::copy(lv.counts, lv.counts + lv.k, lv.bkt);
    else
        countSymbols(lv.s, lv.n, lv.k, lv.bkt);
    int32_t sum = 0;
    for (int32_t c = 0; c < lv.k; ++c) {
        const int32_t count = lv.bkt[c];
        sum += count;
        lv.bkt[c] = ends ? sum : sum - count;
    }
}

// The two induction passes carry each entry's next step in its sign, so that they never look
// up a type: an entry j >= 0 still has its predecessor j - 1 to induce in the current pass, an
// entry ~j has not. The type of j - 1 follows from the two symbols and the known type of j.
// Free slots hold 0, which induces nothing, just as suffix 0 has no predecessor.

// Scanning left to right, puts each L-type predecessor at the front of its bucket. Leaves the
// signs flipped, so that exactly the entries with an S-type predecessor are non-negative.
template <typename Sym> void induceL(const Level<Sym>& lv)
{
    bucketBounds(lv, false);
    const Sym* s = lv.s;
    int32_t* sa = lv.sa;
    int32_t* bkt = lv.bkt;
    const auto place = [s, sa, bkt](int32_t j) { // j is L-type
        const Sym c = s[j];
        sa[bkt[c]++] = j > 0 && s[j - 1] < c ? ~j : j;
    };
    // The sentinel suffix sorts first, so the suffix just before it starts the induction.
    place(lv.n - 1);
    for (int32_t i = 0; i < lv.n; ++i) {
        const int32_t j = sa[i];
        sa[i] = ~j;
        if (j > 0)
            place(j - 1);
    }
}

// Scanning right to left, puts each S-type predecessor at the end of its bucket and leaves
// every entry as a plain position.
template <typename Sym> void induceS(const Level<Sym>& lv)
{
    bucketBounds(lv, true);
    const Sym* s = lv.s;
    int32_t* sa = lv.sa;
    int32_t* bkt = lv.bkt;
    for (int32_t i = lv.n - 1; i >= 0; --i) {
        const int32_t j = sa[i];
        if (j <= 0) {
            sa[i] = ~j;
            continue;
        }
        const int32_t p = j - 1; // S-type
        const Sym c = s[p];
        sa[--bkt[c]] = p == 0 || s[p - 1] > c ? ~p : p;
    }
}

// Sorts the LMS substrings and gathers their positions, in sorted order, at the front of sa.
template <typename Sym> int32_t sortLmsSubstrings(const Level<Sym>& lv)
{
    bucketBounds(lv, true);
    std::fill(lv.sa, lv.sa + lv.n, kFree);
    for (int32_t i = 1; i < lv.n; ++i) {
        if (lv.types.isLms(i))
            lv.sa[--lv.bkt[lv.s[i]]] = i;
    }
    induceL(lv);
    induceS(lv);
    int32_t n1 = 0;
    for (int32_t i = 0; i < lv.n; ++i) {
        if (lv.types.isLms(lv.sa[i]))
            lv.sa[n1++] = lv.sa[i];
    }
    return n1;
}

// Stores the length of each LMS substring, up to and including the next LMS position, in the
// slot n1 + pos / 2. The last one runs into the sentinel and gets a length that no other LMS
// substring can share with it in the text.
template <typename Sym> void storeLmsLengths(const Level<Sym>& lv, int32_t n1)
{
    std::fill(lv.sa + n1, lv.sa + lv.n, kEmpty);
    int32_t next = lv.n;
    for (int32_t i = lv.n - 1; i > 0; --i) {
        if (lv.types.isLms(i)) {
            lv.sa[n1 + i / 2] = next - i + 1;
            next = i;
        }
    }
}

// Equal lengths and equal symbols make equal LMS substrings: the types follow from the symbols
// backward from the closing LMS position, which is S-type in both.
template <typename Sym>
bool equalLmsSubstrings(const Level<Sym>& lv, int32_t a, int32_t b, int32_t length)
{
    if (a + length > lv.n || b + length > lv.n)
        return false; // only one substring reaches the sentinel, and the sentinel is unique
    // Most LMS substrings are a few symbols long: a plain loop beats a library call.
    for (int32_t d = 0; d < length; ++d) {
        if (lv.s[a + d] != lv.s[b + d])
            return false;
    }
    return true;
}

// Names the sorted LMS substrings and leaves the reduced string (names in text order) in the
// last n1 slots of sa. Returns the number of distinct names.
template <typename Sym> int32_t nameLmsSubstrings(const Level<Sym>& lv, int32_t n1)
{
    storeLmsLengths(lv, n1);
    int32_t names = 0;
    int32_t previous = kEmpty;
    int32_t previousLength = 0;
    for (int32_t i = 0; i < n1; ++i) {
        const int32_t pos = lv.sa[i];
        // LMS positions are at least two apart, so pos / 2 is a free, order-keeping slot.
        const int32_t length = lv.sa[n1 + pos / 2];
        if (previous == kEmpty || length != previousLength ||
            !equalLmsSubstrings(lv, previous, pos, length))
            ++names;
        previous = pos;
        previousLength = length;
        lv.sa[n1 + pos / 2] = names - 1;
    }
    for (int32_t i = lv.n - 1, j = lv.n - 1; i >= n1; --i) {
        if (lv.sa[i] != kEmpty)
            lv.sa[j--] = lv.sa[i];
    }
    return names;
}

template <typename Sym>
bool sortSuffixes(const Sym* s, int32_t* sa, int32_t n, int32_t k, int32_t* spare,
                  int32_t spareLength);

// Sorts the LMS suffixes: leaves their positions, in suffix order, in sa[0..n1).
template <typename Sym> bool sortLmsSuffixes(const Level<Sym>& lv, int32_t n1, int32_t names)
{
    int32_t* reduced = lv.sa + lv.n - n1;
    if (names < n1) {
        // The gap between the reduced array and the reduced string holds the next buckets.
        if (!sortSuffixes(static_cast<const int32_t*>(reduced), lv.sa, n1, names, lv.sa + n1,
                          lv.n - 2 * n1))
            return false;
    } else {
        for (int32_t i = 0; i < n1; ++i)
            lv.sa[reduced[i]] = i;
    }
    for (int32_t i = lv.n - 1, j = n1; i > 0; --i) {
        if (lv.types.isLms(i))
            reduced[--j] = i;
    }
    for (int32_t i = 0; i < n1; ++i)
        lv.sa[i] = reduced[lv.sa[i]];
    return true;
}

// Moves the sorted LMS suffixes to the ends of their buckets, keeping their order.
template <typename Sym> void placeSortedLms(const Level<Sym>& lv, int32_t n1)
{
    std::fill(lv.sa + n1, lv.sa + lv.n, kFree);
    bucketBounds(lv, true);
    for (int32_t i = n1 - 1; i >= 0; --i) {
        const int32_t pos = lv.sa[i];
        lv.sa[i] = kFree;
        lv.sa[--lv.bkt[lv.s[pos]]] = pos;
    }
}

template <typename Sym>
bool sortSuffixes(const Sym* s, int32_t* sa, int32_t n, int32_t k, int32_t* spare,
                  int32_t spareLength)
{
    std::unique_ptr<int32_t[]> ownBuckets;
    int32_t* bkt = spare;
    if (k > spareLength) {
        ownBuckets.reset(new (std::nothrow) int32_t[static_cast<size_t>(k)]);
        if (!ownBuckets)
            return false;
        bkt = ownBuckets.get();
    }
    // Each of the six bucket passes would count the symbols again; keep the counts if they fit.
    int32_t* counts = bkt == spare && k <= spareLength - k ? spare + k : nullptr;
    if (counts)
        countSymbols(s, n, k, counts);
    Level<Sym> lv{s, sa, n, k, bkt, SuffixTypes(), counts};
    if (!classify(&lv))
        return false;
    const int32_t n1 = sortLmsSubstrings(lv);
    const int32_t names = nameLmsSubstrings(lv, n1);
    if (!sortLmsSuffixes(lv, n1, names))
        return false;
    placeSortedLms(lv, n1);
    induceL(lv);
    induceS(lv);
    return true;
}

} // namespace

bool BuildSuffixArray(const uint8_t* text, int32_t length, int32_t* sa)
{
    if (length <= 0)
        return length == 0;
    int32_t buckets[2 * 256];
    return sortSuffixes(text, sa, length, 256, buckets, 2 * 256);
}

} // namespace deltapatch
