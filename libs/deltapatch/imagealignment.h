// Which old byte each new byte was copied from in a block diff scan: the copy stretches of the
// control triples, searchable by new offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "deltapatch/streams.h"

namespace deltapatch {

class ImageAlignment {
public:
    // Reads the copy stretches of a control section (signed varint32 triples copy, extra, seek,
    // as the block diff writes them). Stretches that would leave [0, oldLength) are dropped.
    // May throw std::bad_alloc.
    void build(const ByteSink& control, uint64_t oldLength);

    // The old offset aligned with `newOffset`, or -1 when that new byte was inserted rather than
    // copied (with or without differences).
    int64_t oldOffsetOf(uint64_t newOffset) const;

    size_t stretchCount() const { return m_Stretches.size(); }

private:
    struct Stretch {
        uint64_t newStart;
        uint64_t oldStart;
        uint64_t length;
    };
    std::vector<Stretch> m_Stretches; // ascending, disjoint in new offsets
};

} // namespace deltapatch
