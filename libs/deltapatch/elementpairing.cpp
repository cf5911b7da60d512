// Element pairing by order and kind.
#include "deltapatch/elementpairing.h"

namespace deltapatch {

ElementPairs PairElements(const ProgramElements& oldElements, const ProgramElements& newElements)
{
    ElementPairs pairs;
    size_t nextOld = 0;
    for (size_t i = 0; i < newElements.count; ++i) {
        const ProgramElement& wanted = newElements.items[i];
        for (size_t j = nextOld; j < oldElements.count; ++j) {
            if (oldElements.items[j].kind == wanted.kind) {
                pairs.items[pairs.count++] = ElementPair{oldElements.items[j], wanted};
                nextOld = j + 1;
                break;
            }
        }
    }
    return pairs;
}

} // namespace deltapatch
