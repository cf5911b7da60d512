// Copy stretches of a block diff scan, looked up by binary search.
#include "deltapatch/imagealignment.h"

#include <algorithm>

namespace deltapatch {

void ImageAlignment::build(const ByteSink& control, uint64_t oldLength)
{
    m_Stretches.clear();
    ByteSource source = control.asSource();
    int64_t newAt = 0;
    int64_t oldAt = 0;
    int32_t copy = 0;
    int32_t extra = 0;
    int32_t seek = 0;
    while (source.readVarint32Signed(&copy) && source.readVarint32Signed(&extra) &&
           source.readVarint32Signed(&seek)) {
        if (copy < 0 || extra < 0)
            break;
        if (copy > 0 && oldAt >= 0 && uint64_t(oldAt) + uint64_t(copy) <= oldLength)
            m_Stretches.push_back({uint64_t(newAt), uint64_t(oldAt), uint64_t(copy)});
        newAt += int64_t(copy) + extra;
        oldAt += int64_t(copy) + seek;
    }
}

int64_t ImageAlignment::oldOffsetOf(uint64_t newOffset) const
{
    // The last stretch that starts at or before the offset is the only one that may hold it.
    auto after = std::upper_bound(
        m_Stretches.begin(), m_Stretches.end(), newOffset,
        [](uint64_t offset, const Stretch& stretch) { return offset < stretch.newStart; });
    if (after == m_Stretches.begin())
        return -1;
    const Stretch& stretch = *(after - 1);
    if (newOffset - stretch.newStart >= stretch.length)
        return -1;
    return int64_t(stretch.oldStart + (newOffset - stretch.newStart));
}

} // namespace deltapatch
