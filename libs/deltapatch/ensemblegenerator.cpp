// Ensemble patch generation: the plain form always, a compact plain form for small files, the
// executable-aware form when both files hold executables of a kind (for small files twice, on
// two alignments); the smallest candidate that reproduces the new file is kept.
#include "deltapatch/ensemblegenerator.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "deltapatch/blockdiff_generate.h"
#include "deltapatch/blockdiffvariants.h"
#include "deltapatch/checksum.h"
#include "deltapatch/elementpairing.h"
#include "deltapatch/ensemble.h"
#include "deltapatch/ensembleelements.h"
#include "deltapatch/ensemblepatchwriter.h"
#include "deltapatch/imagealignment.h"
#include "deltapatch/programsource.h"
#include "deltapatch/scannedblockdiff.h"

namespace deltapatch {
namespace {

constexpr uint64_t kProgressScale = 1000;
// Diffs of new data up to this length are scanned several ways and the smallest is kept; the
// larger ones would take as long again for each way tried.
constexpr size_t kVariantLimit = size_t(16) << 20;

// Label matching follows the copies of a whole-file scan. Files up to 1 MiB also get an
// executable-aware candidate whose scan switches alignments less readily, which keeps functions
// that moved together in one copy: neither scan wins everywhere (the ELF i386 pair's patch is
// 10% smaller with it, the large PE32+ pair's 25% larger). That candidate skips the searches.
constexpr int64_t kSteadyAlignmentBeatBy = 24;
constexpr size_t kSteadyAlignmentLimit = size_t(1) << 20;

// Files up to this length also get the compact plain form.
constexpr size_t kCompactPlainLimit = size_t(256) << 10;

// About what a diff costs once it is in the body.
size_t compressedBodySize(const ByteSink& diff)
{
    return EstimateBodyBlobSize(diff, kBodyLiteralContextBits);
}

// Maps the progress of each step onto one scale from 0 to kProgressScale.
class StepProgress {
public:
    explicit StepProgress(const ProgressCallback& callback) : m_Callback(callback) {}

    // Starts the step that covers [from, to) of the scale.
    void step(uint64_t from, uint64_t to)
    {
        m_From = from;
        m_To = to;
        report(0, 1);
    }
    void report(uint64_t done, uint64_t total)
    {
        if (!m_Callback)
            return;
        const uint64_t at = m_From + (total == 0 ? 0 : (m_To - m_From) * std::min(done, total) / total);
        m_Reached = std::max(m_Reached, at);
        m_Callback(m_Reached, kProgressScale);
    }
    ProgressCallback forStep()
    {
        if (!m_Callback)
            return nullptr;
        return [this](uint64_t done, uint64_t total) { report(done, total); };
    }

private:
    ProgressCallback m_Callback;
    uint64_t m_From = 0;
    uint64_t m_To = 0;
    uint64_t m_Reached = 0;
};

struct Inputs {
    ByteSource old;
    ByteSource newData;
    EnsemblePatchHeader header;
};

ElementPairs findPairs(ByteSource old, ByteSource newData)
{
    ProgramElements oldElements;
    ProgramElements newElements;
    if (old.empty() || newData.empty() ||
        FindProgramElements(old.current(), old.remaining(), DetectProgram, &oldElements) !=
            STATUS_OK ||
        FindProgramElements(newData.current(), newData.remaining(), DetectProgram,
                            &newElements) != STATUS_OK)
        return ElementPairs();
    return PairElements(oldElements, newElements);
}

PatchStatus buildPlain(const Inputs& in, const ScannedBlockDiff& whole, ByteSink* out)
{
    EnsembleBody body;
    EnsemblePatchHeader header = in.header;
    header.sizePrediction = 0;
    const bool ok = WritePatcherList(ElementPairs(), &body.patchers) &&
                    WriteParameterDiff(0, &body.parameterDiff) &&
                    WriteParameterDiff(0, &body.elementDiff) &&
                    whole.appendPatch(&body.finalDiff) && WriteEnsemblePatch(header, &body, out);
    return ok ? STATUS_OK : STATUS_STREAM_ERROR;
}

// The plain form once more for small files, where a few bytes decide against the bare block
// diff: streams 1 and 2 in their shortest form, the final diff scanned several ways and the
// body's literal context chosen.
PatchStatus buildCompactPlain(const Inputs& in, ByteSink* out)
{
    EnsembleBody body;
    EnsemblePatchHeader header = in.header;
    header.sizePrediction = 0;
    const bool ok = WritePatcherList(ElementPairs(), &body.patchers) &&
                    WriteEmptySetDiff(&body.parameterDiff) &&
                    WriteEmptySetDiff(&body.elementDiff) &&
                    GenerateSmallestBlockDiff(in.old, in.newData, &body.finalDiff,
                                              compressedBodySize, kCompactPlainLimit, nullptr) &&
                    WriteEnsemblePatch(header, &body, out, BodyCompression::StrongestOfContexts);
    return ok ? STATUS_OK : STATUS_STREAM_ERROR;
}

PatchStatus encodeElements(const Inputs& in, const ElementPairs& pairs,
                           const ImageAlignment& alignment, EnsembleElements* elements)
{
    if (!elements->begin(in.old))
        return STATUS_STREAM_ERROR;
    for (size_t i = 0; i < pairs.count; ++i) {
        const PatchStatus status = elements->add(in.old, in.newData, pairs.items[i], alignment);
        if (status != STATUS_OK)
            return status;
    }
    return elements->assembledLength() <= UINT32_MAX ? STATUS_OK : STATUS_GENERAL_ERROR;
}

// With `search`, the element and final diffs are scanned several ways and the body's literal
// context is chosen; without, the default scan and settings are taken.
PatchStatus buildExecutableAware(const Inputs& in, const ElementPairs& pairs,
                                 const ImageAlignment& alignment, StepProgress* progress,
                                 ByteSink* out, bool search = true)
{
    const DiffCost cost = search ? DiffCost(compressedBodySize) : DiffCost();
    EnsembleElements elements;
    PatchStatus status = encodeElements(in, pairs, alignment, &elements);
    if (status != STATUS_OK)
        return status;
    EnsemblePatchHeader header = in.header;
    header.sizePrediction = static_cast<uint32_t>(elements.assembledLength());
    EnsembleBody body;
    ByteSink transformed;
    ByteSink corrected;
    progress->step(350, 550);
    bool ok = elements.serialise(&transformed, &corrected) &&
              WritePatcherList(pairs, &body.patchers) &&
              WriteParameterDiff(pairs.count, &body.parameterDiff) &&
              GenerateSmallestBlockDiff(transformed.asSource(), corrected.asSource(),
                                        &body.elementDiff, cost, kVariantLimit,
                                        progress->forStep());
    transformed.clear();
    corrected.clear();
    progress->step(550, 800);
    ok = ok && GenerateSmallestBlockDiff(elements.ensemble().asSource(), in.newData,
                                         &body.finalDiff, cost, kVariantLimit,
                                         progress->forStep());
    return ok && WriteEnsemblePatch(header, &body, out,
                                    search ? BodyCompression::StrongestOfContexts
                                           : BodyCompression::Strong)
               ? STATUS_OK
               : STATUS_GENERAL_ERROR;
}

PatchStatus buildWithSteadyAlignment(const Inputs& in, const ElementPairs& pairs,
                                     StepProgress* progress, ByteSink* out)
{
    ImageAlignment alignment;
    {
        ScannedBlockDiff scan;
        if (!scan.scan(in.old, in.newData, nullptr, kSteadyAlignmentBeatBy))
            return STATUS_GENERAL_ERROR;
        alignment.build(scan.control(), in.old.remaining());
    }
    // Without the searches, which gained this candidate nothing on the pairs measured (ELF
    // i386, libcurl) and doubled its cost.
    return buildExecutableAware(in, pairs, alignment, progress, out, false);
}

PatchStatus verify(const Inputs& in, const ByteSink& candidate)
{
    ByteSink output;
    const PatchStatus status = ApplyEnsemblePatch(in.old, candidate.asSource(), &output);
    if (status != STATUS_OK)
        return status;
    const bool same = output.length() == in.newData.remaining() &&
                      (output.length() == 0 ||
                       std::memcmp(output.data(), in.newData.current(), output.length()) == 0);
    return same ? STATUS_OK : STATUS_GENERAL_ERROR;
}

struct Candidate {
    ByteSink patch;
    bool executableAware = false;
    PatchStatus status = STATUS_GENERAL_ERROR;
};

// Tries the candidates that were built, smallest first; the first that reproduces the new data
// is appended to `patch`.
PatchStatus choose(const Inputs& in, Candidate* candidates, size_t count, ByteSink* patch,
                   const EnsembleGeneratorOptions& options)
{
    std::sort(candidates, candidates + count, [](const Candidate& a, const Candidate& b) {
        return a.status == STATUS_OK && (b.status != STATUS_OK || a.patch.length() < b.patch.length());
    });
    PatchStatus result = candidates[0].status;
    for (size_t i = 0; i < count && candidates[i].status == STATUS_OK; ++i) {
        Candidate& candidate = candidates[i];
        if (options.beforeVerify)
            options.beforeVerify(&candidate.patch, candidate.executableAware);
        result = options.verify ? verify(in, candidate.patch) : STATUS_OK;
        if (result == STATUS_OK)
            return patch->append(&candidate.patch) ? STATUS_OK : STATUS_STREAM_ERROR;
    }
    return result;
}

PatchStatus generate(const Inputs& in, ByteSink* patch, const EnsembleGeneratorOptions& options)
{
    StepProgress progress(options.progress);
    const ElementPairs pairs =
        options.executableAware ? findPairs(in.old, in.newData) : ElementPairs();
    progress.step(0, pairs.count > 0 ? 300 : 700);
    ScannedBlockDiff whole;
    if (!whole.scan(in.old, in.newData, progress.forStep()))
        return STATUS_GENERAL_ERROR;
    Candidate candidates[4];
    size_t count = 0;
    candidates[count].status = buildPlain(in, whole, &candidates[count].patch);
    ++count;
    if (in.newData.remaining() <= kCompactPlainLimit) {
        candidates[count].status = buildCompactPlain(in, &candidates[count].patch);
        ++count;
    }
    if (pairs.count > 0) {
        progress.step(300, 350);
        ImageAlignment alignment;
        alignment.build(whole.control(), in.old.remaining());
        whole = ScannedBlockDiff();
        Candidate& aware = candidates[count++];
        aware.executableAware = true;
        aware.status = buildExecutableAware(in, pairs, alignment, &progress, &aware.patch);
        if (in.newData.remaining() <= kSteadyAlignmentLimit) {
            Candidate& steady = candidates[count++];
            steady.executableAware = true;
            steady.status = buildWithSteadyAlignment(in, pairs, &progress, &steady.patch);
        }
    }
    progress.step(800, kProgressScale);
    const PatchStatus status = choose(in, candidates, count, patch, options);
    progress.report(1, 1);
    return status;
}

} // namespace

PatchStatus GenerateEnsemblePatch(ByteSource old, ByteSource newData, ByteSink* patch,
                                  const EnsembleGeneratorOptions& options)
{
    if (patch == nullptr || !BlockDiffInputsFit(old.remaining(), newData.remaining()))
        return STATUS_GENERAL_ERROR;
    Inputs in{old, newData, EnsemblePatchHeader()};
    in.header.sourceChecksum = ContentChecksum(old.current(), old.remaining());
    in.header.targetChecksum = ContentChecksum(newData.current(), newData.remaining());
    // The matcher's tables are standard containers; running out of memory there is a failure
    // like any other, not an exception for the caller.
    try {
        return generate(in, patch, options);
    } catch (const std::exception&) {
        return STATUS_GENERAL_ERROR;
    }
}

} // namespace deltapatch
