// Applying an ensemble patch in memory: the header, the patchers' regions transformed up into
// programs and back down, and the three diffs that correct parameters, elements and the file.
// Each intermediate is released as soon as the next step is done with it, so that the large
// ones (transformed and corrected elements, assembled regions, result) do not pile up.
#include "deltapatch/ensemble.h"

#include <algorithm>
#include <cstdint>

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/transformationpatcher.h"

namespace deltapatch {

namespace {

enum BodyStream : size_t {
    BODY_INITIAL_PARAMETERS = 0,
    BODY_PARAMETER_DIFF = 1,
    BODY_ELEMENT_DIFF = 2,
    BODY_FINAL_DIFF = 3,
};

// An assembled program yields at most a few bytes per byte of its serialised form (an abs32
// op and its index give four bytes plus a relocation entry of up to eight). Reservations stay
// below this multiple so that a forged size prediction cannot claim memory the patch never fills.
constexpr size_t kAssembledBytesPerElementByte = 16;

class PatcherList {
public:
    PatcherList() = default;
    ~PatcherList()
    {
        for (size_t i = 0; i < m_Patchers.size(); ++i)
            delete m_Patchers[i];
    }
    PatcherList(const PatcherList&) = delete;
    PatcherList& operator=(const PatcherList&) = delete;

    size_t size() const { return m_Patchers.size(); }
    TransformationPatcher* operator[](size_t i) const { return m_Patchers[i]; }
    // Takes ownership; false (the patcher deleted) when it is null or cannot be stored.
    bool add(TransformationPatcher* patcher)
    {
        if (patcher != nullptr && m_Patchers.push_back(patcher))
            return true;
        delete patcher;
        return false;
    }

private:
    GrowableArray<TransformationPatcher*> m_Patchers;
};

// The body stream, or an empty one when the body set lacks it (or did not split): the step
// that reads it then fails with its own status.
ByteSource BodyStream(ByteSourceSet* body, size_t index)
{
    const ByteSource* stream = body->stream(index);
    return stream != nullptr ? *stream : ByteSource();
}

// Applies a correction diff to a serialised set and splits the corrected result.
PatchStatus Correct(ByteSink* predicted, ByteSource diff, ByteSink* corrected, ByteSourceSet* set)
{
    if (!ApplyBlockDiff(predicted->asSource(), &diff, corrected, false))
        return STATUS_GENERAL_ERROR;
    predicted->clear();
    return set->init(corrected->data(), corrected->length()) ? STATUS_OK : STATUS_STREAM_ERROR;
}

// The state of one application: the old file, the header values, the patchers and the
// corrected parameters and elements.
class EnsembleApplication {
public:
    EnsembleApplication(ByteSource old, const EnsemblePatchHeader& header)
        : m_Old(old), m_Header(header)
    {
    }

    PatchStatus run(ByteSourceSet* body, ByteSink* output);

private:
    PatchStatus readInitialParameters(ByteSource parameters);
    PatchStatus predictParameters(ByteSink* serialised);
    PatchStatus transformUp(ByteSink* serialised);
    PatchStatus transformDown(ByteSink* assembled);
    PatchStatus finish(ByteSink* assembled, ByteSource diff, ByteSink* output);

    ByteSource m_Old;
    EnsemblePatchHeader m_Header;
    PatcherList m_Patchers;
    ByteSink m_CorrectedParameters;
    ByteSourceSet m_ParameterSet;
    ByteSink m_CorrectedElements;
    ByteSourceSet m_ElementSet;
};

PatchStatus EnsembleApplication::run(ByteSourceSet* body, ByteSink* output)
{
    PatchStatus status = readInitialParameters(BodyStream(body, BODY_INITIAL_PARAMETERS));
    ByteSink scratch;
    if (status == STATUS_OK)
        status = predictParameters(&scratch);
    if (status == STATUS_OK)
        status = Correct(&scratch, BodyStream(body, BODY_PARAMETER_DIFF), &m_CorrectedParameters,
                         &m_ParameterSet);
    if (status == STATUS_OK)
        status = transformUp(&scratch);
    m_ParameterSet = ByteSourceSet();
    m_CorrectedParameters.clear();
    if (status == STATUS_OK)
        status = Correct(&scratch, BodyStream(body, BODY_ELEMENT_DIFF), &m_CorrectedElements,
                         &m_ElementSet);
    // The re-assembled regions; the final diff reads them behind the old file, where they lie.
    ByteSink assembled;
    if (status == STATUS_OK)
        status = transformDown(&assembled);
    if (status != STATUS_OK)
        return status;
    return finish(&assembled, BodyStream(body, BODY_FINAL_DIFF), output);
}

PatchStatus EnsembleApplication::readInitialParameters(ByteSource parameters)
{
    uint32_t count = 0;
    if (!parameters.readVarint32(&count))
        return STATUS_BAD_HEADER;
    // Each kind takes a byte at least: a larger count could only fail below, so it is refused
    // before it makes any patcher.
    if (count > parameters.remaining())
        return STATUS_BAD_HEADER;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!parameters.readVarint32(&kind) || kind < WIN_32_X86 || kind > MACHO_X64)
            return STATUS_BAD_HEADER;
        if (!m_Patchers.add(MakeTransformationPatcher(kind, m_Old.current(), m_Old.remaining())))
            return STATUS_GENERAL_ERROR;
    }
    // Elements never overlap, so together the regions cover the old file at most once. Holding
    // patches to that keeps a stream of patchers over one region from multiplying the work and
    // memory of the transformation by their number.
    uint64_t covered = 0;
    for (size_t i = 0; i < m_Patchers.size(); ++i) {
        const PatchStatus status = m_Patchers[i]->readParameters(&parameters);
        if (status != STATUS_OK)
            return status;
        covered += m_Patchers[i]->regionLength();
        if (covered > m_Old.remaining())
            return STATUS_BAD_TRANSFORM;
    }
    return parameters.empty() ? STATUS_OK : STATUS_BAD_HEADER;
}

PatchStatus EnsembleApplication::predictParameters(ByteSink* serialised)
{
    ByteSinkSet predicted;
    for (size_t i = 0; i < m_Patchers.size(); ++i) {
        ByteSinkSet own;
        const PatchStatus status = m_Patchers[i]->predictParameters(&own);
        if (status != STATUS_OK)
            return status;
        if (!predicted.writeSet(&own))
            return STATUS_STREAM_ERROR;
    }
    return predicted.copyToOneStream(serialised) ? STATUS_OK : STATUS_STREAM_ERROR;
}

PatchStatus EnsembleApplication::transformUp(ByteSink* serialised)
{
    ByteSinkSet transformed;
    for (size_t i = 0; i < m_Patchers.size(); ++i) {
        ByteSourceSet parameters;
        if (!m_ParameterSet.readSet(&parameters))
            return STATUS_STREAM_ERROR;
        ByteSinkSet element;
        const PatchStatus status = m_Patchers[i]->encodeRegion(&parameters, &element);
        if (status != STATUS_OK)
            return status;
        if (!parameters.allConsumed())
            return STATUS_STREAM_NOT_CONSUMED;
        if (!transformed.writeSet(&element))
            return STATUS_STREAM_ERROR;
    }
    if (!m_ParameterSet.allConsumed())
        return STATUS_STREAM_NOT_CONSUMED;
    return transformed.copyToOneStream(serialised) ? STATUS_OK : STATUS_STREAM_ERROR;
}

PatchStatus EnsembleApplication::transformDown(ByteSink* assembled)
{
    if (m_Patchers.size() != 0) {
        const size_t elementBytes = m_CorrectedElements.length();
        const size_t bound = elementBytes > SIZE_MAX / kAssembledBytesPerElementByte
                                 ? SIZE_MAX
                                 : elementBytes * kAssembledBytesPerElementByte;
        if (!assembled->reserve(std::min<size_t>(m_Header.sizePrediction, bound)))
            return STATUS_STREAM_ERROR;
    }
    for (size_t i = 0; i < m_Patchers.size(); ++i) {
        ByteSourceSet element;
        if (!m_ElementSet.readSet(&element))
            return STATUS_STREAM_ERROR;
        const PatchStatus status = m_Patchers[i]->rebuildRegion(&element, assembled);
        if (status != STATUS_OK)
            return status;
        if (!element.allConsumed())
            return STATUS_STREAM_NOT_CONSUMED;
    }
    if (!m_ElementSet.allConsumed())
        return STATUS_STREAM_NOT_CONSUMED;
    m_ElementSet = ByteSourceSet();
    m_CorrectedElements.clear();
    return STATUS_OK;
}

// The final diff's old data are the old file followed by the assembled regions.
PatchStatus EnsembleApplication::finish(ByteSink* assembled, ByteSource diff, ByteSink* output)
{
    ByteSink result;
    const bool applied = ApplyBlockDiffOverSegments(m_Old, assembled->asSource(), &diff, &result);
    assembled->clear();
    if (!applied)
        return STATUS_GENERAL_ERROR;
    if (ContentChecksum(result.data(), result.length()) != m_Header.targetChecksum)
        return STATUS_BAD_CRC;
    if (output->length() == 0 && !output->failed()) {
        *output = std::move(result);
        return STATUS_OK;
    }
    return output->append(&result) ? STATUS_OK : STATUS_STREAM_ERROR;
}

} // namespace

PatchStatus ReadEnsembleHeader(ByteSource* patch, EnsemblePatchHeader* header)
{
    uint32_t magic = 0;
    if (!patch->readVarint32(&magic) || magic != kEnsembleMagic)
        return STATUS_BAD_MAGIC;
    uint32_t version = 0;
    if (!patch->readVarint32(&version) || version != kEnsembleVersion)
        return STATUS_BAD_VERSION;
    if (!patch->readVarint32(&header->sourceChecksum) ||
        !patch->readVarint32(&header->targetChecksum) ||
        !patch->readVarint32(&header->sizePrediction))
        return STATUS_BAD_HEADER;
    return STATUS_OK;
}

PatchStatus ApplyEnsemblePatch(ByteSource old, ByteSource patch, ByteSink* output)
{
    if (output == nullptr)
        return STATUS_GENERAL_ERROR;
    EnsemblePatchHeader header;
    const PatchStatus status = ReadEnsembleHeader(&patch, &header);
    if (status != STATUS_OK)
        return status;
    // The cheap check first: a patch for another old file must not cost a decompression.
    if (ContentChecksum(old.current(), old.remaining()) != header.sourceChecksum)
        return STATUS_BAD_CRC;
    ByteSink body;
    if (!ReadLzma2Blob(&patch, &body))
        return STATUS_STREAM_ERROR;
    ByteSourceSet streams;
    // Not checked on its own: a body that does not split has only empty streams, and the
    // step that needs one fails with its own status.
    streams.init(body.data(), body.length());
    EnsembleApplication application(old, header);
    return application.run(&streams, output);
}

} // namespace deltapatch
