// Pairs the executable elements of an old and a new file for an ensemble patch.
#pragma once

#include <cstddef>

#include "deltapatch/programelements.h"

namespace deltapatch {

struct ElementPair {
    ProgramElement oldElement;
    ProgramElement newElement;
};

struct ElementPairs {
    size_t count = 0;
    ElementPair items[kMaxProgramElements];
};

// Pairs in order: each new element takes the first old element of its kind after the old
// element the previous pair took. New elements left without a partner are not paired (the
// final diff covers them), nor are old ones.
ElementPairs PairElements(const ProgramElements& oldElements, const ProgramElements& newElements);

} // namespace deltapatch
