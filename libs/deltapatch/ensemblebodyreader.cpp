// Reading an ensemble patch body's stream set straight from its LZMA2 blob.
#include "deltapatch/ensemblebodyreader.h"

namespace deltapatch {

namespace {

constexpr size_t kMaxVarintBytes = 5;

} // namespace

bool EnsembleBodyReader::open(const ByteSource& blob)
{
    if (!m_Blob.open(blob))
        return false;
    m_Split = readHeader();
    return !m_Broken;
}

// A varint of the set header, decoded a byte at a time and parsed as any stream's varint.
// False when the blob breaks (m_Broken) or the header is not a valid one.
bool EnsembleBodyReader::readHeaderVarint(uint32_t* value)
{
    ByteSink bytes;
    for (size_t i = 0; i < kMaxVarintBytes && m_Blob.left() > 0; ++i) {
        if (!m_Blob.read(1, &bytes)) {
            m_Broken = true;
            return false;
        }
        if (bytes.data()[i] < 0x80)
            break;
    }
    ByteSource source = bytes.asSource();
    return source.readVarint32(value);
}

// True when the header is that of a set whose streams fill the rest of the blob exactly;
// the total is taken in 64 bits, so lengths cannot wrap into a match.
bool EnsembleBodyReader::readHeader()
{
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!readHeaderVarint(&magic) || magic != kStreamSetMagic || !readHeaderVarint(&count) ||
        count > kMaxStreams)
        return false;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!readHeaderVarint(&m_Lengths[i]))
            return false;
        total += m_Lengths[i];
    }
    if (total != m_Blob.left())
        return false;
    m_Count = count;
    return true;
}

bool EnsembleBodyReader::take(size_t index, ByteSink* stream)
{
    if (m_Broken || m_Finished || index < m_Next)
        return false;
    if (!m_Split || index >= m_Count)
        return true;
    for (; m_Next < index; ++m_Next) {
        if (!m_Blob.skip(m_Lengths[m_Next])) {
            m_Broken = true;
            return false;
        }
    }
    m_Next = index + 1;
    if (!m_Blob.read(m_Lengths[index], stream)) {
        m_Broken = true;
        return false;
    }
    return true;
}

bool EnsembleBodyReader::finish()
{
    if (m_Broken)
        return false;
    if (m_Finished)
        return true;
    m_Finished = true;
    m_Broken = !m_Blob.finish();
    return !m_Broken;
}

} // namespace deltapatch
