// Suffix array construction by induced sorting (SA-IS) over bytes, with 32-bit indices.
#pragma once

#include <cstdint>

namespace deltapatch {

// Fills sa[0..length) with the start positions of the suffixes of text[0..length) in
// lexicographic order (a suffix that is a prefix of another sorts first). Needs length < 2^31.
// Besides `sa` it allocates about length/4 bytes of type bits and, only for unusual inputs, a
// bucket table; returns false if that allocation fails.
bool BuildSuffixArray(const uint8_t* text, int32_t length, int32_t* sa);

} // namespace deltapatch
