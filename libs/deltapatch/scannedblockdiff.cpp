// Block diff scan that keeps its scanner, so that one suffix sort serves both the alignment of
// two images and their patch.
#include "deltapatch/scannedblockdiff.h"

#include <new>

#include "deltapatch/blockdiff_generate.h"
#include "deltapatch/enginelog.h"
#include "deltapatch/sais.h"
#include "deltapatch/suffixindex.h"

namespace deltapatch {
namespace {

constexpr size_t kMaxLengthsBytes = 3 * 5;

const ByteSink& emptySink()
{
    static const ByteSink empty;
    return empty;
}

} // namespace

bool ScannedBlockDiff::scan(ByteSource old, ByteSource newData, const ProgressCallback& progress,
                            int64_t beatBy)
{
    m_Scanner.reset();
    const size_t oldLength = old.remaining();
    m_NewLength = newData.remaining();
    if (!BlockDiffInputsFit(oldLength, m_NewLength))
        return false;
    std::unique_ptr<int32_t[]> sa(new (std::nothrow) int32_t[oldLength == 0 ? 1 : oldLength]);
    std::unique_ptr<BlockDiffScanner> scanner(new (std::nothrow) BlockDiffScanner(
        old.current(), static_cast<int32_t>(oldLength), newData.current(),
        static_cast<int32_t>(m_NewLength), beatBy));
    SuffixIndex index;
    if (!sa || !scanner ||
        !BuildSuffixArray(old.current(), static_cast<int32_t>(oldLength), sa.get()) ||
        !index.init(old.current(), static_cast<int32_t>(oldLength), sa.get()) ||
        !scanner->run(index, progress)) {
        logError("unable to allocate memory for the block diff");
        return false;
    }
    m_Scanner = std::move(scanner);
    return true;
}

bool ScannedBlockDiff::appendPatch(ByteSink* out) const
{
    if (!m_Scanner)
        return false;
    const ByteSink& control = m_Scanner->control();
    const size_t total = control.length() + m_Scanner->diffLength() + m_Scanner->extraLength();
    const uint8_t method = METHOD_NONE;
    return out->reserve(out->length() + 1 + 5 + kMaxLengthsBytes + total) &&
           out->write(&method, 1) && out->writeSizeVarint32(m_NewLength) &&
           out->writeSizeVarint32(control.length()) &&
           out->writeSizeVarint32(m_Scanner->diffLength()) &&
           out->writeSizeVarint32(m_Scanner->extraLength()) &&
           out->write(control.data(), control.length()) && m_Scanner->appendDiff(out) &&
           m_Scanner->appendExtra(out);
}

const ByteSink& ScannedBlockDiff::control() const
{
    return m_Scanner ? m_Scanner->control() : emptySink();
}

} // namespace deltapatch
