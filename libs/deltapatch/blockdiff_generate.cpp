// Block diff generator: suffix-sorts the old data, scans the new data, writes the patch.
#include "deltapatch/blockdiff_generate.h"

#include <memory>
#include <new>

#include "deltapatch/blockdiff.h"
#include "deltapatch/blockdiffscanner.h"
#include "deltapatch/checksum.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/lzma2blob.h"
#include "deltapatch/sais.h"
#include "deltapatch/suffixindex.h"

namespace deltapatch {
namespace {

constexpr size_t kInputLimit = size_t(1) << 31;
constexpr size_t kMaxLengthsBytes = 3 * 5;

// Takes the source's remaining bytes as one input; the source itself is only a view.
bool takeInput(ByteSource* source, const uint8_t** data, const char* failure)
{
    *data = source->current();
    if (!source->skip(source->remaining())) {
        logError(failure);
        return false;
    }
    return true;
}

bool scan(const uint8_t* old, size_t oldLength, BlockDiffScanner* scanner,
          const ProgressCallback& progress)
{
    std::unique_ptr<int32_t[]> sa(new (std::nothrow) int32_t[oldLength == 0 ? 1 : oldLength]);
    SuffixIndex index;
    if (!sa || !BuildSuffixArray(old, static_cast<int32_t>(oldLength), sa.get()) ||
        !index.init(old, static_cast<int32_t>(oldLength), sa.get()) ||
        !scanner->run(index, progress)) {
        logError("unable to allocate memory for the block diff");
        return false;
    }
    return true;
}

bool writePlainSections(const BlockDiffScanner& scanner, ByteSink* out)
{
    const ByteSink& control = scanner.control();
    const size_t total = control.length() + scanner.diffLength() + scanner.extraLength();
    return out->reserve(out->length() + kMaxLengthsBytes + total) &&
           out->writeSizeVarint32(control.length()) &&
           out->writeSizeVarint32(scanner.diffLength()) &&
           out->writeSizeVarint32(scanner.extraLength()) &&
           out->write(control.data(), control.length()) && scanner.appendDiff(out) &&
           scanner.appendExtra(out);
}

void done(const InputsDoneCallback& inputsDone)
{
    if (inputsDone)
        inputsDone();
}

// One blob per section. Diff and extra bytes are gathered first so that the inputs can go
// before the encoder starts; together they are no larger than the new data alone.
bool writeSectionBlobs(const BlockDiffScanner& scanner, ByteSink* out,
                       const InputsDoneCallback& inputsDone)
{
    ByteSink diff;
    ByteSink extra;
    if (!scanner.appendDiff(&diff) || !scanner.appendExtra(&extra))
        return false;
    done(inputsDone);
    const ByteSink& control = scanner.control();
    return WriteLzma2Blob(control.data(), control.length(), out) &&
           WriteLzma2Blob(diff.data(), diff.length(), out) &&
           WriteLzma2Blob(extra.data(), extra.length(), out);
}

bool writeSections(const BlockDiffScanner& scanner, BlockDiffMethod method, ByteSink* out,
                   const InputsDoneCallback& inputsDone)
{
    switch (method) {
    case METHOD_NONE: {
        const bool written = writePlainSections(scanner, out);
        done(inputsDone);
        return written;
    }
    case METHOD_LZMA2_BODY: {
        ByteSink body;
        if (!writePlainSections(scanner, &body))
            return false;
        done(inputsDone);
        return WriteLzma2Blob(body.data(), body.length(), out);
    }
    default:
        return writeSectionBlobs(scanner, out, inputsDone);
    }
}

bool writePatch(const BlockDiffScanner& scanner, const uint8_t* newData, size_t newLength,
                bool withHeader, BlockDiffMethod method, ByteSink* out,
                const InputsDoneCallback& inputsDone)
{
    if (withHeader && (!out->write(kBlockDiffMagic, sizeof kBlockDiffMagic) ||
                       !out->writeVarint32(ContentChecksum(newData, newLength))))
        return false;
    const uint8_t methodByte = method;
    return out->write(&methodByte, 1) && out->writeSizeVarint32(newLength) &&
           writeSections(scanner, method, out, inputsDone);
}

} // namespace

bool BlockDiffInputsFit(size_t oldLength, size_t newLength)
{
    if (oldLength >= kInputLimit) {
        logError(" old stream too large");
        return false;
    }
    if (newLength >= kInputLimit) {
        logError(" new stream too large");
        return false;
    }
    return true;
}

bool GenerateBlockDiff(ByteSource old, ByteSource newData, ByteSink* output, bool withHeader,
                       BlockDiffMethod method, const ProgressCallback& progress,
                       const InputsDoneCallback& inputsDone)
{
    if (output == nullptr || method > METHOD_LZMA2_BODY)
        return false;
    const size_t oldLength = old.remaining();
    const size_t newLength = newData.remaining();
    if (!BlockDiffInputsFit(oldLength, newLength))
        return false;
    const uint8_t* oldBytes = nullptr;
    const uint8_t* newBytes = nullptr;
    if (!takeInput(&old, &oldBytes, "error in old_stream size") ||
        !takeInput(&newData, &newBytes, "error in new_stream size"))
        return false;
    BlockDiffScanner scanner(oldBytes, static_cast<int32_t>(oldLength), newBytes,
                             static_cast<int32_t>(newLength));
    // The suffix array is the largest structure; it is gone before the output is written.
    if (!scan(oldBytes, oldLength, &scanner, progress))
        return false;
    return writePatch(scanner, newBytes, newLength, withHeader, method, output, inputsDone);
}

} // namespace deltapatch
