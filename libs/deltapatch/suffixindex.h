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
    // or more it builds a table of where each two-byte prefix lies in the array (512 KiB); false
    // if that table cannot be allocated.
    bool init(const uint8_t* text, int32_t length, const int32_t* sa);

    // The longest prefix of needle[0..length) that occurs in the text, found by binary search.
    // Length 0 when nothing matches.
    SuffixMatch longestMatch(const uint8_t* needle, int32_t length) const;

private:
    SuffixMatch search(const uint8_t* needle, int64_t length, int64_t lo, int64_t hi,
                       int64_t known) const;
    int64_t prefixAt(int64_t rank, const uint8_t* needle, int64_t length) const;

    const uint8_t* m_Text = nullptr;
    int64_t m_Length = 0;
    const int32_t* m_Sa = nullptr;
    // For each two-byte prefix, the first rank at or above it and the first rank above it.
    std::unique_ptr<int32_t[]> m_First;
    std::unique_ptr<int32_t[]> m_End;
};

} // namespace deltapatch
