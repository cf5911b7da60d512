// Longest-match search over a suffix array, narrowed first by the needle's two leading bytes and
// then by sampled eight-byte keys.
#include "deltapatch/suffixindex.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace deltapatch {
namespace {

constexpr size_t kPrefixes = 65536;
// Below this the binary search is short anyway, and the tables would cost more than they save.
constexpr int32_t kIndexedLength = 1 << 16;
constexpr int64_t kSampleStep = 16;

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

// The first eight bytes as a big-endian number, missing bytes as zeros. Keys order like the
// byte strings they come from, except that strings differing only in trailing zeros and
// length tie; a strictly smaller key therefore always means a smaller string.
uint64_t leadingKey(const uint8_t* bytes, int64_t available)
{
    uint64_t key = 0;
    if (available >= 8) {
        std::memcpy(&key, bytes, 8);
        return __builtin_bswap64(key);
    }
    for (int64_t i = 0; i < 8; ++i)
        key = key << 8 | (i < available ? bytes[i] : 0);
    return key;
}

// The first index in [first, end) whose key is not below `key` (end if none), without branches
// on the data and with both possible next probes prefetched; first < end.
int64_t firstNotBelow(const uint64_t* keys, int64_t first, int64_t end, uint64_t key)
{
    const uint64_t* base = keys + first;
    int64_t count = end - first;
    while (count > 1) {
        const int64_t half = count / 2;
        __builtin_prefetch(base + half / 2);
        __builtin_prefetch(base + half + half / 2);
        base = base[half] < key ? base + half : base;
        count -= half;
    }
    return (base - keys) + (*base < key);
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
    m_SampleCount = (m_Length + kSampleStep - 1) / kSampleStep;
    m_Samples.reset(new (std::nothrow) uint64_t[static_cast<size_t>(m_SampleCount)]);
    if (!m_First || !m_End || !m_Samples)
        return false;
    for (int64_t j = 0; j < m_SampleCount; ++j) {
        const int64_t start = sa[j * kSampleStep];
        m_Samples[j] = leadingKey(text + start, m_Length - start);
    }
    int32_t* count = m_End.get(); // holds the counts until each is turned into a range end
    std::fill(count, count + kPrefixes, 0);
    for (int64_t i = 0; i + 1 < m_Length; ++i)
        ++count[text[i] << 8 | text[i + 1]];
    int32_t rank = 0;
    for (size_t key = 0; key < kPrefixes; ++key) {
        // The one-byte last suffix sorts before every longer suffix that starts with its byte.
        if ((key & 0xFF) == 0 && text[m_Length - 1] == key >> 8)
            ++rank;
        m_First[key] = rank;
        rank += count[key];
        m_End[key] = rank;
    }
    return true;
}

SuffixMatch SuffixIndex::longestMatch(const uint8_t* needle, int32_t length) const
{
    return search(needle, length, narrow(needle, length));
}

SuffixIndex::Bracket SuffixIndex::narrow(const uint8_t* needle, int64_t length) const
{
    if (length < 2 || !m_First)
        return {-1, m_Length, 0};
    // The suffixes in [first, end) all start with the needle's two bytes.
    const size_t key = needle[0] << 8 | needle[1];
    Bracket bracket{int64_t(m_First[key]) - 1, m_End[key], 2};
    narrowBySamples(leadingKey(needle, length), &bracket);
    return bracket;
}

// Moves the bracket onto the nearest sampled suffixes whose keys already decide their side.
void SuffixIndex::narrowBySamples(uint64_t key, Bracket* bracket) const
{
    const int64_t first = (bracket->lo + kSampleStep) / kSampleStep; // first sample above lo
    const int64_t end = (bracket->hi + kSampleStep - 1) / kSampleStep;
    if (first >= end)
        return;
    const uint64_t* samples = m_Samples.get();
    const int64_t below = firstNotBelow(samples, first, end, key);
    if (below > first)
        bracket->lo = (below - 1) * kSampleStep;
    // Usually no sample ties with the needle; runs of ties come from long repeats.
    const int64_t above = below < end && samples[below] > key
                              ? below
                              : std::upper_bound(samples + below, samples + end, key) - samples;
    if (above < end)
        bracket->hi = above * kSampleStep;
}

// Binary search strictly inside the bracket. lo ends on the last suffix below the needle and hi
// on the first one at or above it; the longest match is one of the two. Every suffix between
// lo and hi shares at least min(lcpLo, lcpHi) leading bytes with the needle, so comparisons
// start there.
SuffixMatch SuffixIndex::search(const uint8_t* needle, int64_t length, Bracket bracket) const
{
    int64_t lo = bracket.lo;
    int64_t hi = bracket.hi;
    int64_t lcpLo = bracket.known;
    int64_t lcpHi = bracket.known;
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        prefetchNext(lo, mid, hi);
        int64_t k = std::min(lcpLo, lcpHi);
        const int64_t start = m_Sa[mid];
        const int64_t limit = std::min(m_Length - start, length);
        k += commonPrefix(m_Text + start + k, needle + k, limit - k);
        const bool below = k < limit ? m_Text[start + k] < needle[k] : m_Length - start < length;
        (below ? lo : hi) = mid;
        (below ? lcpLo : lcpHi) = k;
    }
    // Bounds the search never moved were only known to share `known` bytes: measure them now.
    if (lo == bracket.lo)
        lcpLo = prefixAt(lo, needle, length);
    if (hi == bracket.hi)
        lcpHi = prefixAt(hi, needle, length);
    SuffixMatch best;
    if (lcpLo > best.length)
        best = {m_Sa[lo], static_cast<int32_t>(lcpLo)};
    if (lcpHi > best.length)
        best = {m_Sa[hi], static_cast<int32_t>(lcpHi)};
    return best;
}

// The search is bound by memory latency: while one probe is compared, the text of both possible
// next probes and the array entries of the four after them are already on their way.
void SuffixIndex::prefetchNext(int64_t lo, int64_t mid, int64_t hi) const
{
    const int64_t left = lo + (mid - lo) / 2;
    const int64_t right = mid + (hi - mid) / 2;
    if (left > lo) {
        __builtin_prefetch(m_Text + m_Sa[left]);
        __builtin_prefetch(m_Sa + left - (left - lo) / 2);
        __builtin_prefetch(m_Sa + left + (mid - left) / 2);
    }
    if (right > mid) {
        __builtin_prefetch(m_Text + m_Sa[right]);
        __builtin_prefetch(m_Sa + mid + (right - mid) / 2);
        __builtin_prefetch(m_Sa + right + (hi - right) / 2);
    }
}

int64_t SuffixIndex::prefixAt(int64_t rank, const uint8_t* needle, int64_t length) const
{
    if (rank < 0 || rank >= m_Length)
        return 0;
    const int64_t start = m_Sa[rank];
    return commonPrefix(m_Text + start, needle, std::min(m_Length - start, length));
}

} // namespace deltapatch
