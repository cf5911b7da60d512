// Byte cursor, no-throw byte buffer, varint32 coding and stream sets of the delta patch engine.
#include "deltapatch/streams.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "deltapatch/bufferallocation.h"
#include "log/log.h"

namespace deltapatch {

namespace {

constexpr size_t kMinSinkCapacity = 256;
constexpr size_t kMaxSize = static_cast<size_t>(-1);

// Every varint32 fits in five bytes.
constexpr size_t kMaxVarintBytes = 5;

size_t encodeVarint32(uint32_t value, uint8_t* out)
{
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

} // namespace

// --- ByteSource -------------------------------------------------------------------------------

void ByteSource::init(const uint8_t* data, size_t length)
{
    if (data == nullptr)
        length = 0;
    m_Start = data;
    m_Current = data;
    m_End = data + length;
}

bool ByteSource::read(void* out, size_t n)
{
    if (n > remaining())
        return false;
    if (n != 0)
        std::memcpy(out, m_Current, n);
    m_Current += n;
    return true;
}

bool ByteSource::readVarint32(uint32_t* value)
{
    const uint8_t* p = m_Current;
    uint32_t result = 0;
    for (size_t i = 0; i < kMaxVarintBytes; ++i) {
        if (p == m_End)
            return false;
        const uint8_t byte = *p++;
        if (i == kMaxVarintBytes - 1) {
            // The fifth byte carries bits 28..31 only and must end the value.
            if (byte >= 0x80)
                return false;
            result |= static_cast<uint32_t>(byte & 0x0F) << 28;
            break;
        }
        result |= static_cast<uint32_t>(byte & 0x7F) << (7 * i);
        if (byte < 0x80)
            break;
    }
    *value = result;
    m_Current = p;
    return true;
}

bool ByteSource::readVarint32Signed(int32_t* value)
{
    uint32_t u = 0;
    if (!readVarint32(&u))
        return false;
    *value = static_cast<int32_t>((u >> 1) ^ (0u - (u & 1u)));
    return true;
}

bool ByteSource::skip(size_t n)
{
    if (n > remaining())
        return false;
    m_Current += n;
    return true;
}

// --- ByteSink ---------------------------------------------------------------------------------

ByteSink::~ByteSink()
{
    FreeBuffer(m_Data, m_Capacity);
}

ByteSink::ByteSink(ByteSink&& other) noexcept
    : m_Data(other.m_Data), m_Length(other.m_Length), m_Capacity(other.m_Capacity)
{
    other.m_Data = nullptr;
    other.m_Length = 0;
    other.m_Capacity = 0;
}

ByteSink& ByteSink::operator=(ByteSink&& other) noexcept
{
    if (this != &other) {
        FreeBuffer(m_Data, m_Capacity);
        m_Data = std::exchange(other.m_Data, nullptr);
        m_Length = std::exchange(other.m_Length, 0);
        m_Capacity = std::exchange(other.m_Capacity, 0);
    }
    return *this;
}

void ByteSink::fail()
{
    FreeBuffer(m_Data, m_Capacity);
    m_Data = nullptr;
    m_Length = 0;
    m_Capacity = kFailedCapacity;
}

void ByteSink::clear()
{
    FreeBuffer(m_Data, m_Capacity);
    m_Data = nullptr;
    m_Length = 0;
    m_Capacity = 0;
}

bool ByteSink::reserve(size_t capacity)
{
    if (failed())
        return false;
    if (m_Capacity >= capacity)
        return true;
    size_t size = capacity < kMinSinkCapacity ? kMinSinkCapacity : capacity;
    // A working sink must never carry the failed marker as its capacity.
    if (size == kFailedCapacity)
        ++size;
    auto* fresh = static_cast<uint8_t*>(ResizeBuffer(m_Data, m_Capacity, size));
    if (fresh == nullptr) {
        fail();
        return false;
    }
    m_Data = fresh;
    m_Capacity = size;
    return true;
}

bool ByteSink::write(const void* bytes, size_t n)
{
    if (failed() || n > kMaxSize - m_Length)
        return false;
    if (n == 0)
        return true;
    if (n > m_Capacity - m_Length) {
        // Growing frees the old buffer, which may be where the bytes come from.
        const auto* src = static_cast<const uint8_t*>(bytes);
        const bool inside = m_Data != nullptr && src >= m_Data && src < m_Data + m_Length;
        const size_t offset = inside ? static_cast<size_t>(src - m_Data) : 0;
        const size_t needed = m_Length + n;
        size_t capacity = m_Capacity != 0 ? m_Capacity : kMinSinkCapacity;
        while (capacity < needed)
            capacity = capacity > kMaxSize / 2 ? kMaxSize : capacity * 2;
        if (!reserve(capacity))
            return false;
        if (inside)
            bytes = m_Data + offset;
    }
    std::memmove(m_Data + m_Length, bytes, n);
    m_Length += n;
    return true;
}

bool ByteSink::writeVarint32(uint32_t value)
{
    uint8_t bytes[kMaxVarintBytes];
    return write(bytes, encodeVarint32(value, bytes));
}

bool ByteSink::writeVarint32Signed(int32_t value)
{
    const uint32_t u = static_cast<uint32_t>(value);
    const uint32_t sign = value < 0 ? 0xFFFFFFFFu : 0u;
    return writeVarint32((u << 1) ^ sign);
}

bool ByteSink::writeSizeVarint32(size_t value)
{
    const uint32_t narrowed_value = static_cast<uint32_t>(value);
    if (value != narrowed_value)
        logAssertionFailed("value == narrowed_value", "../../deps/deltapatch/src/lib/streams", 209,
                           std::string());
    return writeVarint32(narrowed_value);
}

bool ByteSink::append(ByteSink* other)
{
    // A failed sink lost its bytes: appending it as if empty would hide that loss.
    if (other == nullptr || other == this || other->failed())
        return false;
    // Into an empty sink the other's buffer moves instead of its bytes, unless that would give
    // up a larger reservation.
    if (m_Length == 0 && !failed() && other->m_Capacity >= m_Capacity) {
        std::swap(m_Data, other->m_Data);
        std::swap(m_Length, other->m_Length);
        std::swap(m_Capacity, other->m_Capacity);
        other->clear();
        return true;
    }
    if (!write(other->m_Data, other->m_Length))
        return false;
    other->clear();
    return true;
}

bool ByteSink::commit(size_t n)
{
    if (n > freeSpace())
        return false;
    m_Length += n;
    return true;
}

// --- ByteSinkSet ------------------------------------------------------------------------------

bool ByteSinkSet::copyToOneStream(ByteSink* out)
{
    if (out == nullptr)
        return false;
    ByteSink header;
    bool ok = header.writeVarint32(kStreamSetMagic) && header.writeSizeVarint32(m_Count);
    size_t total = 0;
    for (size_t i = 0; ok && i < m_Count; ++i) {
        const ByteSink& s = m_Streams[i];
        ok = !s.failed() && s.length() <= kMaxSize - total && header.writeSizeVarint32(s.length());
        total += s.length();
    }
    if (!ok || header.length() > kMaxSize - total || out->length() > kMaxSize - total - header.length())
        return false;
    if (!out->reserve(out->length() + header.length() + total) || !out->append(&header))
        return false;
    for (size_t i = 0; i < m_Count; ++i) {
        if (!out->append(&m_Streams[i]))
            return false;
    }
    return true;
}

bool ByteSinkSet::writeSet(ByteSinkSet* inner)
{
    if (inner == nullptr || inner == this)
        return false;
    size_t n = 0;
    for (size_t i = 0; i < inner->m_Count; ++i) {
        if (inner->m_Streams[i].failed())
            return false;
        if (inner->m_Streams[i].length() != 0)
            n = i + 1;
    }
    if (n > m_Count)
        return false;
    ByteSink& head = m_Streams[0];
    if (!head.writeSizeVarint32(n))
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (!head.writeSizeVarint32(inner->m_Streams[i].length()))
            return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!m_Streams[i].append(&inner->m_Streams[i]))
            return false;
    }
    return true;
}

// --- ByteSourceSet ----------------------------------------------------------------------------

void ByteSourceSet::clear()
{
    m_Count = kMaxStreams;
    for (ByteSource& s : m_Streams)
        s.init(nullptr, 0);
}

bool ByteSourceSet::init(const uint8_t* data, size_t length)
{
    clear();
    ByteSource in(data, length);
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!in.readVarint32(&magic) || magic != kStreamSetMagic || !in.readVarint32(&count) ||
        count > kMaxStreams)
        return false;
    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!in.readVarint32(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != in.remaining())
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        m_Streams[i].init(in.current(), lengths[i]);
        in.skip(lengths[i]);
    }
    m_Count = count;
    return true;
}

bool ByteSourceSet::readSet(ByteSourceSet* inner)
{
    if (inner == nullptr || inner == this || m_Count == 0)
        return false;
    // Restored on failure so that a failed read consumes nothing.
    const ByteSource savedHead = m_Streams[0];
    ByteSource& head = m_Streams[0];
    uint32_t count = 0;
    uint32_t lengths[kMaxStreams];
    bool ok = head.readVarint32(&count) && count <= kMaxStreams;
    for (uint32_t i = 0; ok && i < count; ++i)
        ok = head.readVarint32(&lengths[i]);
    // A stream beyond this set's count is empty: only a zero length can come from it.
    for (uint32_t i = 0; ok && i < count; ++i)
        ok = i < m_Count ? lengths[i] <= m_Streams[i].remaining() : lengths[i] == 0;
    if (!ok) {
        head = savedHead;
        return false;
    }
    inner->clear();
    for (uint32_t i = 0; i < count && i < m_Count; ++i) {
        inner->m_Streams[i].init(m_Streams[i].current(), lengths[i]);
        m_Streams[i].skip(lengths[i]);
    }
    return true;
}

bool ByteSourceSet::allConsumed() const
{
    for (size_t i = 0; i < m_Count; ++i) {
        if (!m_Streams[i].empty())
            return false;
    }
    return true;
}

} // namespace deltapatch
