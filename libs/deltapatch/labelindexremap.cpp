// Label renumbering of an encoded program.
#include "deltapatch/labelindexremap.h"

namespace deltapatch {
namespace {

bool rebuildRvas(const LabelIndexMap& map, const std::vector<IndexedLabel>& labels,
                 const GrowableArray<uint32_t>& oldRvas, GrowableArray<uint32_t>* rvas)
{
    GrowableArray<uint32_t> rebuilt;
    GrowableArray<uint8_t> taken;
    if (!rebuilt.resize(map.indexSpace, 0) || !taken.resize(map.indexSpace, 0))
        return false;
    for (const IndexedLabel& label : labels) {
        const uint32_t index = map.finalIndex[label.index];
        if (index >= map.indexSpace)
            return false;
        rebuilt[index] = label.rva;
        taken[index] = 1;
    }
    uint32_t previous = 0;
    for (size_t i = 0; i < rebuilt.size(); ++i) {
        if (!taken[i]) {
            const uint32_t oldStep =
                i < oldRvas.size() ? oldRvas[i] - (i > 0 ? oldRvas[i - 1] : 0) : 0;
            rebuilt[i] = previous + oldStep; // modulo 2^32, like the delta coding
        }
        previous = rebuilt[i];
    }
    *rvas = std::move(rebuilt);
    return true;
}

} // namespace

bool RemapLabelIndexes(EncodedProgram* program, LabelTableId table, const LabelIndexMap& map,
                       const std::vector<IndexedLabel>& labels,
                       const GrowableArray<uint32_t>& oldRvas)
{
    GrowableArray<uint32_t>& indexes =
        table == REL32_TABLE ? program->rel32Indexes : program->abs32Indexes;
    for (size_t i = 0; i < indexes.size(); ++i) {
        const uint32_t index = indexes[i];
        if (index >= map.finalIndex.size() || map.finalIndex[index] == LabelIndexMap::kUnmapped)
            return false;
        indexes[i] = map.finalIndex[index];
    }
    return rebuildRvas(map, labels, oldRvas,
                       table == REL32_TABLE ? &program->rel32Rvas : &program->abs32Rvas);
}

} // namespace deltapatch
