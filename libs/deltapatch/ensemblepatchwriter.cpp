// Ensemble patch layout: header fields, patcher list, parameter diff and the compressed body.
#include "deltapatch/ensemblepatchwriter.h"

#include "deltapatch/blockdiff.h"
#include "deltapatch/bodyblobwriter.h"
#include "deltapatch/lzma2blob.h"

namespace deltapatch {

bool WritePatcherList(const ElementPairs& pairs, ByteSink* out)
{
    bool ok = out->writeSizeVarint32(pairs.count);
    for (size_t i = 0; ok && i < pairs.count; ++i)
        ok = out->writeVarint32(uint32_t(pairs.items[i].oldElement.kind));
    for (size_t i = 0; ok && i < pairs.count; ++i) {
        const ProgramElement& region = pairs.items[i].oldElement;
        ok = region.offset <= UINT32_MAX && region.length <= UINT32_MAX &&
             out->writeVarint32(uint32_t(region.offset)) &&
             out->writeVarint32(uint32_t(region.length));
    }
    return ok;
}

bool WriteParameterDiff(size_t patchers, ByteSink* out)
{
    // Each patcher's parameter set is empty: its nested header is a zero stream count.
    ByteSinkSet parameters;
    for (size_t i = 0; i < patchers; ++i) {
        ByteSinkSet none;
        if (!parameters.writeSet(&none))
            return false;
    }
    ByteSink serialised;
    if (!parameters.copyToOneStream(&serialised))
        return false;
    return GenerateBlockDiff(serialised.asSource(), serialised.asSource(), out, false,
                             METHOD_NONE);
}

bool WriteEnsemblePatch(const EnsemblePatchHeader& header, EnsembleBody* body, ByteSink* out,
                        BodyCompression compression)
{
    ByteSinkSet streams;
    ByteSink serialised;
    const bool bodyOk = streams.stream(0)->append(&body->patchers) &&
                        streams.stream(1)->append(&body->parameterDiff) &&
                        streams.stream(2)->append(&body->elementDiff) &&
                        streams.stream(3)->append(&body->finalDiff) &&
                        streams.copyToOneStream(&serialised);
    return bodyOk && out->writeVarint32(kEnsembleMagic) && out->writeVarint32(kEnsembleVersion) &&
           out->writeVarint32(header.sourceChecksum) &&
           out->writeVarint32(header.targetChecksum) &&
           out->writeVarint32(header.sizePrediction) &&
           (compression == BodyCompression::Strong
                ? WriteBodyLzma2Blob(serialised.data(), serialised.length(), out)
                : WriteLzma2Blob(serialised.data(), serialised.length(), out));
}

} // namespace deltapatch
