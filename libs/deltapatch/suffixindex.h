// Longest-match queries against a suffix-sorted buffer.
#pragma once

#include <cstdint>
#include <memory>

namespace deltapatch {

struct SuffixMatch {
    int32_t position = 0;
    int32_t length = 0;
};

class SuffixIndex {
public:
    // Borrows the text and its suffix array (both must outlive the index). For texts of 64 KiB
    // or more it builds a table of where each two-byte prefix lies in the array (512 KiB) and a
    // sample of the leading eight bytes of every sixteenth suffix in order (length / 2 bytes);
    // false if they cannot be allocated.
    bool init(const uint8_t* text, int32_t length, const int32_t* sa);

    // The longest prefix of needle[0..length) that occurs in the text, found by binary search.
    // Of the two suffixes around the needle's place in the sorted order, the earlier one is
    // taken unless the later one matches strictly more bytes. Length 0 when nothing matches.
    SuffixMatch longestMatch(const uint8_t* needle, int32_t length) const;

private:
    // Ranks lo < hi such that the suffix at lo sorts below the needle and the one at hi does
    // not (-1 and the text length stand for the ends), and every suffix between them shares at
    // least `known` leading bytes with the needle.
    struct Bracket {
        int64_t lo;
        int64_t hi;
        int64_t known;
    };
    Bracket narrow(const uint8_t* needle, int64_t length) const;
    void narrowBySamples(uint64_t key, Bracket* bracket) const;
    SuffixMatch search(const uint8_t* needle, int64_t length, Bracket bracket) const;
    void prefetchNext(int64_t lo, int64_t mid, int64_t hi) const;
    int64_t prefixAt(int64_t rank, const uint8_t* needle, int64_t length) const;

    const uint8_t* m_Text = nullptr;
    int64_t m_Length = 0;
    const int32_t* m_Sa = nullptr;
    // For each two-byte prefix, the first rank at or above it and the first rank above it.
    std::unique_ptr<int32_t[]> m_First;
    std::unique_ptr<int32_t[]> m_End;
    // Leading bytes (big-endian, zero-padded) of the suffixes at ranks 0, 16, 32, ...: a search
    // through them touches a small, mostly cached array instead of the array and the text.
    std::unique_ptr<uint64_t[]> m_Samples;
    int64_t m_SampleCount = 0;
};

} // namespace deltapatch
