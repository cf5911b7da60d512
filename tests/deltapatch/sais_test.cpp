// Suffix array construction and longest-match search checked against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "deltapatch/sais.h"
#include "deltapatch/suffixindex.h"

namespace deltapatch {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<int32_t> naiveSuffixArray(const Bytes& text)
{
    std::vector<int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b,
                                            text.end());
    });
    return sa;
}

std::vector<int32_t> buildSuffixArray(const Bytes& text)
{
    std::vector<int32_t> sa(text.size(), -1);
    EXPECT_TRUE(BuildSuffixArray(text.data(), static_cast<int32_t>(text.size()), sa.data()));
    return sa;
}

Bytes randomBytes(std::mt19937* rng, size_t length, int alphabet)
{
    Bytes bytes(length);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>((*rng)() % alphabet);
    return bytes;
}

Bytes fromText(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes fibonacciWord(size_t length)
{
    std::string a = "a";
    std::string b = "ab";
    while (b.size() < length) {
        std::string next = b + a;
        a = std::move(b);
        b = std::move(next);
    }
    return fromText(b.substr(0, length));
}

Bytes periodic(const std::string& period, size_t length)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(period[i % period.size()]);
    return bytes;
}

// Repetitive inputs drive the recursion several levels deep; the extremes of the byte range
// catch bucket arithmetic off by one.
TEST(SuffixArrayTest, MatchesNaiveSortOnFixedInputs)
{
    Bytes descending(300);
    for (size_t i = 0; i < descending.size(); ++i)
        descending[i] = static_cast<uint8_t>(255 - i % 256);
    const std::vector<std::pair<const char*, Bytes>> rows = {
        {"empty", {}},
        {"one byte", {7}},
        {"two equal", {0, 0}},
        {"banana", fromText("banana")},
        {"mississippi", fromText("mississippi")},
        {"one symbol", Bytes(2000, 0x41)},
        {"zeros and ff", periodic(std::string("\x00\xff", 2), 1001)},
        {"period 3", periodic("abc", 3000)},
        {"period 7 with tail", periodic("abaabab", 2500)},
        {"fibonacci", fibonacciWord(4000)},
        {"descending", descending},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        EXPECT_EQ(buildSuffixArray(row.second), naiveSuffixArray(row.second));
    }
}

TEST(SuffixArrayTest, MatchesNaiveSortOnRandomInputs)
{
    std::mt19937 rng(20240611);
    for (int alphabet : {2, 3, 4, 256}) {
        for (int round = 0; round < 150; ++round) {
            const Bytes text = randomBytes(&rng, rng() % 700, alphabet);
            ASSERT_EQ(buildSuffixArray(text), naiveSuffixArray(text))
                << "alphabet " << alphabet << " length " << text.size();
        }
    }
}

// Too large for the naive sort: check that the result is a permutation in sorted order.
TEST(SuffixArrayTest, SortsALargeInput)
{
    std::mt19937 rng(7);
    Bytes text = randomBytes(&rng, 1 << 18, 4);
    std::copy_n(text.begin(), 1 << 14, text.begin() + (1 << 17)); // a long repeat
    const std::vector<int32_t> sa = buildSuffixArray(text);
    std::vector<bool> seen(text.size(), false);
    for (int32_t p : sa) {
        ASSERT_TRUE(p >= 0 && size_t(p) < text.size() && !seen[p]);
        seen[p] = true;
    }
    for (size_t i = 1; i < sa.size(); ++i) {
        ASSERT_TRUE(std::lexicographical_compare(text.begin() + sa[i - 1], text.end(),
                                                 text.begin() + sa[i], text.end()))
            << "at rank " << i;
    }
}

int32_t naiveLongestMatch(const Bytes& text, const Bytes& needle)
{
    int32_t longest = 0;
    for (size_t p = 0; p < text.size(); ++p) {
        int32_t k = 0;
        while (p + k < text.size() && size_t(k) < needle.size() && text[p + k] == needle[k])
            ++k;
        longest = std::max(longest, k);
    }
    return longest;
}

void expectLongestMatch(const Bytes& text, const SuffixIndex& index, const Bytes& needle)
{
    const SuffixMatch match = index.longestMatch(needle.data(), int32_t(needle.size()));
    ASSERT_EQ(match.length, naiveLongestMatch(text, needle));
    ASSERT_TRUE(std::equal(needle.begin(), needle.begin() + match.length,
                           text.begin() + match.position));
}

// The search narrows long texts by the first two bytes and then skips prefixes it knows to
// match; a slip in either shows up as a shorter match. Small alphabets put needles at the edges
// of the two-byte ranges, next to the one-byte last suffix, and between ranges.
TEST(LongestMatchTest, FindsTheLongestMatchAnywhere)
{
    std::mt19937 rng(99);
    const std::vector<std::pair<std::string, std::string>> fixed = {
        {"", "ab"},  {"a", "a"},    {"a", "ab"},   {"ab", "b"},    {"ab", "bz"},
        {"ab", "ba"}, {"aab", "ab"}, {"ba", "ab"}, {"\xff", "\xff\xff"}, {"\xff\xfe", "\xff\xff"},
    };
    std::vector<std::pair<Bytes, std::vector<Bytes>>> rows;
    for (const auto& row : fixed)
        rows.push_back({fromText(row.first), {fromText(row.second)}});
    for (size_t length : {size_t(40), size_t(400), size_t(70000), size_t(70001)}) {
        for (int alphabet : {2, 3, 256}) {
            Bytes text = randomBytes(&rng, length > 1000 ? length : rng() % length, alphabet);
            if (length > 70000)
                text.push_back(0xFF); // a last byte that starts no longer suffix
            std::vector<Bytes> needles;
            for (int i = 0; i < 60; ++i) {
                Bytes needle = randomBytes(&rng, 1 + rng() % 40, alphabet + (i % 2));
                if (!text.empty() && i % 3 == 0) {
                    const size_t from = rng() % text.size();
                    needle.assign(text.begin() + from,
                                  text.begin() + std::min(text.size(), from + 30));
                    needle.push_back(static_cast<uint8_t>(rng()));
                }
                needles.push_back(needle);
            }
            needles.push_back({0xFF, 0xFF});
            rows.push_back({text, needles});
        }
    }
    for (const auto& row : rows) {
        const std::vector<int32_t> sa = buildSuffixArray(row.first);
        SuffixIndex index;
        ASSERT_TRUE(index.init(row.first.data(), int32_t(row.first.size()), sa.data()));
        for (const Bytes& needle : row.second) {
            SCOPED_TRACE("text of " + std::to_string(row.first.size()) + " bytes, needle of " +
                         std::to_string(needle.size()));
            expectLongestMatch(row.first, index, needle);
        }
    }
}

// Where the needle would sit in the sorted suffixes, by plain comparison (a suffix that is a
// proper prefix of the needle sorts below it).
int64_t insertionRank(const Bytes& text, const std::vector<int32_t>& sa, const Bytes& needle)
{
    const auto below = [&](int32_t p) {
        return std::lexicographical_compare(text.begin() + p, text.end(), needle.begin(),
                                            needle.end());
    };
    return std::partition_point(sa.begin(), sa.end(), below) - sa.begin();
}

int32_t commonLength(const Bytes& text, int32_t p, const Bytes& needle)
{
    int32_t k = 0;
    while (size_t(p + k) < text.size() && size_t(k) < needle.size() && text[p + k] == needle[k])
        ++k;
    return k;
}

// Patches depend on which of several equally long matches is taken: the suffix just below the
// needle's place, unless the one at that place matches strictly more.
SuffixMatch referenceMatch(const Bytes& text, const std::vector<int32_t>& sa, const Bytes& needle)
{
    const int64_t rank = insertionRank(text, sa, needle);
    const int32_t lo = rank > 0 ? commonLength(text, sa[rank - 1], needle) : 0;
    const int32_t hi = size_t(rank) < sa.size() ? commonLength(text, sa[rank], needle) : 0;
    SuffixMatch match;
    if (lo > 0 && lo >= hi)
        match = {sa[rank - 1], lo};
    else if (hi > 0)
        match = {sa[rank], hi};
    return match;
}

Bytes tailOf(const Bytes& text, size_t length, const Bytes& more)
{
    Bytes tail(text.end() - long(std::min(length, text.size())), text.end());
    tail.insert(tail.end(), more.begin(), more.end());
    return tail;
}

// Repetitive texts put many equally long matches side by side; sparse alphabets leave most
// two-byte ranges empty; needles run past the end of the text or match only there.
TEST(LongestMatchTest, ChoosesTheSameOfEquallyLongMatchesAsThePlainRule)
{
    std::mt19937 rng(5);
    std::vector<Bytes> texts = {{}, {0x41}, Bytes(70000, 0xAB), periodic("abcabd", 70001),
                                randomBytes(&rng, 300, 2)};
    Bytes sparse = randomBytes(&rng, 80000, 2);
    for (uint8_t& b : sparse)
        b = b ? 0x20 : 0x10;
    texts.push_back(sparse);
    Bytes repeats = randomBytes(&rng, 5000, 256);
    while (repeats.size() < 90000)
        repeats.insert(repeats.end(), repeats.begin(), repeats.begin() + 3000 + rng() % 2000);
    texts.push_back(repeats);
    for (const Bytes& text : texts) {
        const std::vector<int32_t> sa = buildSuffixArray(text);
        SuffixIndex index;
        ASSERT_TRUE(index.init(text.data(), int32_t(text.size()), sa.data()));
        std::vector<Bytes> needles = {{0x41}, {0x41, 0x41}, Bytes(70001, 0xAB), {0xAB, 0xAB, 0},
                                      {0x10, 0x30, 0x10}, {0x15, 0x10}, {0xFF, 0xFF}, {0x00}};
        for (size_t tail : {1, 2, 7, 8, 9, 20})
            needles.push_back(tailOf(text, tail, {0x20, 0x10}));
        for (int i = 0; i < 200 && !text.empty(); ++i) {
            const size_t from = rng() % text.size();
            Bytes needle(text.begin() + long(from),
                         text.begin() + long(std::min(text.size(), from + 1 + rng() % 40)));
            if (i % 2)
                needle.push_back(static_cast<uint8_t>(rng()));
            needles.push_back(needle);
        }
        for (const Bytes& needle : needles) {
            SCOPED_TRACE("text of " + std::to_string(text.size()) + " bytes, needle of " +
                         std::to_string(needle.size()));
            const SuffixMatch expected = referenceMatch(text, sa, needle);
            const SuffixMatch found = index.longestMatch(needle.data(), int32_t(needle.size()));
            ASSERT_EQ(found.length, expected.length);
            ASSERT_EQ(found.position, expected.position);
        }
    }
}

} // namespace
} // namespace deltapatch
