// Applying an ensemble patch in memory: the header, the patchers' regions transformed up into
// programs and back down, and the three diffs that correct parameters, elements and the file.
// Each body stream is decoded only when its step needs it, and each intermediate is released
// as soon as the next step is done with it, so that the large ones (the element and final diffs,
// transformed and corrected elements, assembled regions, result) do not pile up.
#include "deltapatch/ensemble.h"

#include <algorithm>
#include <cstdint>

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/ensemblebodyreader.h"
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

// Applies a correction diff to a serialised set and splits the corrected result.
PatchStatus Correct(ByteSink* predicted, ByteSink* diff, ByteSink* corrected, ByteSourceSet* set)
{
    ByteSource patch = diff->asSource();
    if (!ApplyBlockDiff(predicted->asSource(), &patch, corrected, false))
        return STATUS_GENERAL_ERROR;
    predicted->clear();
    diff->clear();
    return set->init(corrected->data(), corrected->length()) ? STATUS_OK : STATUS_STREAM_ERROR;
}

// The state of one application: the old file, the header values, the body, the patchers and
// the corrected parameters and elements.
class EnsembleApplication {
public:
    EnsembleApplication(ByteSource old, const EnsemblePatchHeader& header, EnsembleBodyReader* body,
                        const OldDataIdleCallback& oldIdle)
        : m_Old(old), m_Header(header), m_Body(body), m_OldIdle(oldIdle)
    {
    }

    // The new file into `result`, checked against the target checksum.
    PatchStatus run(ByteSink* result);

private:
    PatchStatus readInitialParameters();
    PatchStatus predictParameters(ByteSink* serialised);
    PatchStatus correctParameters(ByteSink* predicted);
    PatchStatus transformUp(ByteSink* serialised);
    PatchStatus correctElements(ByteSink* transformed);
    PatchStatus transformDown(ByteSink* assembled);
    PatchStatus finish(ByteSink* assembled, ByteSink* result);

    ByteSource m_Old;
    EnsemblePatchHeader m_Header;
    EnsembleBodyReader* m_Body;
    const OldDataIdleCallback& m_OldIdle;
    PatcherList m_Patchers;
    ByteSink m_CorrectedParameters;
    ByteSourceSet m_ParameterSet;
    ByteSink m_CorrectedElements;
    ByteSourceSet m_ElementSet;
};

PatchStatus EnsembleApplication::run(ByteSink* result)
{
    PatchStatus status = readInitialParameters();
    ByteSink scratch;
    if (status == STATUS_OK)
        status = predictParameters(&scratch);
    if (status == STATUS_OK)
        status = correctParameters(&scratch);
    if (status == STATUS_OK)
        status = transformUp(&scratch);
    m_ParameterSet = ByteSourceSet();
    m_CorrectedParameters.clear();
    // Correcting and assembling the elements works on the elements alone.
    if (status == STATUS_OK && m_OldIdle)
        m_OldIdle();
    if (status == STATUS_OK)
        status = correctElements(&scratch);
    // The re-assembled regions; the final diff reads them behind the old file, where they lie.
    ByteSink assembled;
    if (status == STATUS_OK)
        status = transformDown(&assembled);
    if (status != STATUS_OK)
        return status;
    return finish(&assembled, result);
}

PatchStatus EnsembleApplication::readInitialParameters()
{
    ByteSink stream;
    if (!m_Body->take(BODY_INITIAL_PARAMETERS, &stream))
        return STATUS_STREAM_ERROR;
    ByteSource parameters = stream.asSource();
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

PatchStatus EnsembleApplication::correctParameters(ByteSink* predicted)
{
    ByteSink diff;
    if (!m_Body->take(BODY_PARAMETER_DIFF, &diff))
        return STATUS_STREAM_ERROR;
    return Correct(predicted, &diff, &m_CorrectedParameters, &m_ParameterSet);
}

// Taken only now: the element diff is as long as the elements, and transforming up needs
// the most memory of all steps.
PatchStatus EnsembleApplication::correctElements(ByteSink* transformed)
{
    ByteSink diff;
    if (!m_Body->take(BODY_ELEMENT_DIFF, &diff))
        return STATUS_STREAM_ERROR;
    return Correct(transformed, &diff, &m_CorrectedElements, &m_ElementSet);
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

// The final diff's old data are the old file followed by the assembled regions. The body is
// finished first: the final diff is its last stream, and the decoder's memory goes with it.
PatchStatus EnsembleApplication::finish(ByteSink* assembled, ByteSink* result)
{
    ByteSink diff;
    if (!m_Body->take(BODY_FINAL_DIFF, &diff) || !m_Body->finish())
        return STATUS_STREAM_ERROR;
    ByteSource patch = diff.asSource();
    const bool applied = ApplyBlockDiffOverSegments(m_Old, assembled->asSource(), &patch, result);
    assembled->clear();
    diff.clear();
    if (!applied)
        return STATUS_GENERAL_ERROR;
    if (ContentChecksum(result->data(), result->length()) != m_Header.targetChecksum)
        return STATUS_BAD_CRC;
    return STATUS_OK;
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
    return ApplyEnsemblePatch(old, patch, output, OldDataIdleCallback());
}

PatchStatus ApplyEnsemblePatch(ByteSource old, ByteSource patch, ByteSink* output,
                               const OldDataIdleCallback& oldIdle)
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
    EnsembleBodyReader body;
    if (!body.open(patch))
        return STATUS_STREAM_ERROR;
    ByteSink result;
    const PatchStatus applied = EnsembleApplication(old, header, &body, oldIdle).run(&result);
    // A body that breaks anywhere fails the patch as a whole, as it would if it had been decoded
    // before the first step: whichever step stopped early, the rest of the body is checked.
    if (!body.finish())
        return STATUS_STREAM_ERROR;
    if (applied != STATUS_OK)
        return applied;
    if (output->length() == 0 && !output->failed()) {
        *output = std::move(result);
        return STATUS_OK;
    }
    return output->append(&result) ? STATUS_OK : STATUS_STREAM_ERROR;
}

} // namespace deltapatch
