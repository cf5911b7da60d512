// Longest-match search over a suffix array, narrowed first by the needle's two leading bytes.
#include "deltapatch/suffixindex.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace deltapatch {
namespace {

constexpr size_t kPrefixes = 65536;
// Below this the binary search is short anyway, and the table would cost more than it saves.
constexpr int32_t kIndexedLength = 1 << 16;

int64_t commonPrefix(const uint8_t* a, const uint8_t* b, int64_t limit)
{
    int64_t k = 0;
    for (; k + 8 <= limit; k += 8) {
        uint64_t x = 0;
        uint64_t y = 0;
        std::memcpy(&x, a + k, 8);
        std::memcpy(&y, b + k, 8);
        if (x != y)
            return k + __builtin_ctzll(x ^ y) / 8; // little-endian: lowest byte comes first
    }
    while (k < limit && a[k] == b[k])
        ++k;
    return k;
}

} // namespace

bool SuffixIndex::init(const uint8_t* text, int32_t length, const int32_t* sa)
{
    m_Text = text;
    m_Length = length;
    m_Sa = sa;
    if (length < kIndexedLength)
        return true;
    m_First.reset(new (std::nothrow) int32_t[kPrefixes]);
    m_End.reset(new (std::nothrow) int32_t[kPrefixes]);
    if (!m_First || !m_End)
        return false;
    int32_t* count = m_End.get(); // holds the counts until each is turned into a range end
    std::fill(count, count + kPrefixes, 0);
    for (int64_t i = 0; i + 1 < m_Length; ++i)
        ++count[text[i] << 8 | text[i + 1]];
    int32_t rank = 0;
    for (size_t key = 0; key < kPrefixes; ++key) {
        // The one-byte last suffix sorts before every longer suffix that starts with its byte.
        if ((key & 0xFF) == 0 && m_Length > 0 && text[m_Length - 1] == key >> 8)
            ++rank;
        m_First[key] = rank;
        rank += count[key];
        m_End[key] = rank;
    }
    return true;
}

SuffixMatch SuffixIndex::longestMatch(const uint8_t* needle, int32_t length) const
{
    if (length < 2 || !m_First)
        return search(needle, length, -1, m_Length, 0);
    // The suffixes in [first, end) all start with the needle's two bytes.
    const size_t key = needle[0] << 8 | needle[1];
    return search(needle, length, int64_t(m_First[key]) - 1, m_End[key], 2);
}

// Binary search strictly between lo and hi. lo ends on the last suffix below the needle and hi
// on the first one at or above it; the longest match is one of the two. Every suffix between
// lo and hi shares at least min(lcpLo, lcpHi) leading bytes with the needle, so comparisons
// start there.
SuffixMatch SuffixIndex::search(const uint8_t* needle, int64_t length, int64_t lo, int64_t hi,
                                int64_t known) const
{
    const int64_t outerLo = lo;
    const int64_t outerHi = hi;
    int64_t lcpLo = known;
    int64_t lcpHi = known;
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        const int64_t start = m_Sa[mid];
        const int64_t limit = std::min(m_Length - start, length);
        int64_t k = std::min(lcpLo, lcpHi);
        k += commonPrefix(m_Text + start + k, needle + k, limit - k);
        const bool below = k < limit ? m_Text[start + k] < needle[k] : m_Length - start < length;
        (below ? lo : hi) = mid;
        (below ? lcpLo : lcpHi) = k;
    }
    // Bounds the search never moved lie outside the narrowed range: measure them now.
    if (lo == outerLo)
        lcpLo = prefixAt(lo, needle, length);
    if (hi == outerHi)
        lcpHi = prefixAt(hi, needle, length);
    SuffixMatch best;
    if (lcpLo > best.length)
        best = {m_Sa[lo], static_cast<int32_t>(lcpLo)};
    if (lcpHi > best.length)
        best = {m_Sa[hi], static_cast<int32_t>(lcpHi)};
    return best;
}

int64_t SuffixIndex::prefixAt(int64_t rank, const uint8_t* needle, int64_t length) const
{
    if (rank < 0 || rank >= m_Length)
        return 0;
    const int64_t start = m_Sa[rank];
    return commonPrefix(m_Text + start, needle, std::min(m_Length - start, length));
}

} // namespace deltapatch
