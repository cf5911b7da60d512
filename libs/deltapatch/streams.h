// Byte streams of the delta patch engine: read cursor, no-throw growable buffers, varint32 and
// stream sets. Every operation reports failure by its result; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deltapatch {

constexpr uint32_t kStreamSetMagic = 20090218; // 0x01328D6A
constexpr size_t kMaxStreams = 10;
// Capacity marker of a sink or array whose allocation failed; every later append fails.
constexpr size_t kFailedCapacity = 0xFFFFFFFFu;

// Read cursor over bytes it does not own.
class ByteSource {
public:
    ByteSource() = default;
    ByteSource(const uint8_t* data, size_t length) { init(data, length); }
    void init(const uint8_t* data, size_t length);

    const uint8_t* start() const { return m_Start; }
    const uint8_t* current() const { return m_Current; }
    const uint8_t* end() const { return m_End; }
    size_t remaining() const { return static_cast<size_t>(m_End - m_Current); }
    bool empty() const { return m_Current == m_End; }

    // Each fails without consuming anything when the bytes run out.
    bool read(void* out, size_t n);
    bool readVarint32(uint32_t* value);
    bool readVarint32Signed(int32_t* value);
    bool skip(size_t n);

private:
    const uint8_t* m_Start = nullptr;
    const uint8_t* m_Current = nullptr;
    const uint8_t* m_End = nullptr;
};

// Owned byte buffer that grows geometrically from 256 bytes and never throws. After a failed
// allocation the sink is empty and stays failed.
class ByteSink {
public:
    ByteSink() = default;
    ~ByteSink();
    ByteSink(ByteSink&& other) noexcept;
    ByteSink& operator=(ByteSink&& other) noexcept;
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;

    const uint8_t* data() const { return m_Data; }
    uint8_t* data() { return m_Data; }
    size_t length() const { return m_Length; }
    size_t capacity() const { return m_Capacity; }
    bool failed() const { return m_Capacity == kFailedCapacity; }

    bool reserve(size_t capacity);
    bool write(const void* bytes, size_t n);
    bool writeVarint32(uint32_t value);
    bool writeVarint32Signed(int32_t value);
    // Writes a length or count as varint32. A value that does not fit in 32 bits is a
    // programming error reported at the critical level (which ends the process).
    bool writeSizeVarint32(size_t value);
    // Appends the other sink's bytes; on success the other sink is emptied and its buffer freed.
    // Fails for a failed other sink (its bytes are lost) and for the sink itself.
    bool append(ByteSink* other);

    // For producers that write in place: after reserve(length() + n), write up to n bytes at
    // tail() and then commit() how many were written.
    uint8_t* tail() { return m_Data + m_Length; }
    size_t freeSpace() const { return failed() ? 0 : m_Capacity - m_Length; }
    bool commit(size_t n);

    ByteSource asSource() const { return ByteSource(m_Data, m_Length); }
    // Empties the sink and frees its buffer; also clears the failed state.
    void clear();

private:
    void fail();

    uint8_t* m_Data = nullptr;
    size_t m_Length = 0;
    size_t m_Capacity = 0;
};

// Stream sets: up to ten streams serialised as magic, count, lengths and bodies.
class ByteSinkSet {
public:
    ByteSinkSet() = default; // count 10, ten empty streams
    size_t count() const { return m_Count; }
    // The slot, or nullptr when i >= count().
    ByteSink* stream(size_t i) { return i < m_Count ? &m_Streams[i] : nullptr; }

    // Serialises the set (always declaring all count() streams) and appends it to `out`;
    // each stream's buffer is released as it is copied.
    bool copyToOneStream(ByteSink* out);
    // Writes `inner` into this set as a nested set (header into stream 0, bodies stream by
    // stream); inner streams are emptied. Fails when an inner stream is in the failed state.
    bool writeSet(ByteSinkSet* inner);

private:
    size_t m_Count = kMaxStreams;
    ByteSink m_Streams[kMaxStreams];
};

class ByteSourceSet {
public:
    ByteSourceSet() = default;
    size_t count() const { return m_Count; }
    ByteSource* stream(size_t i) { return i < m_Count ? &m_Streams[i] : nullptr; }

    // Splits a serialised set. The bodies must fill the range exactly. On failure every
    // stream is empty, so any later read fails.
    bool init(const uint8_t* data, size_t length);
    bool init(const ByteSource& source) { return init(source.current(), source.remaining()); }
    // Carves a nested set out of this one, advancing this set's streams. The inner set has
    // count 10; streams the writer left out are empty. A failed read consumes nothing.
    bool readSet(ByteSourceSet* inner);
    bool allConsumed() const;

private:
    void clear();

    size_t m_Count = kMaxStreams;
    ByteSource m_Streams[kMaxStreams];
};

// No-throw array of trivially copyable elements: grows from 64 elements by doubling, failed
// state marked in the capacity.
template <typename T> class GrowableArray {
public:
    GrowableArray() = default;
    ~GrowableArray();
    GrowableArray(GrowableArray&& other) noexcept;
    GrowableArray& operator=(GrowableArray&& other) noexcept;
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;

    size_t size() const { return m_Size; }
    bool empty() const { return m_Size == 0; }
    bool failed() const { return m_Capacity == kFailedCapacity; }
    T* data() { return m_Data; }
    const T* data() const { return m_Data; }
    T& operator[](size_t i) { return m_Data[i]; }
    const T& operator[](size_t i) const { return m_Data[i]; }

    bool reserve(size_t capacity);
    bool push_back(const T& value);
    // Appends n elements copied from `items`, which may point into this array. Fails without
    // change when the size would pass the largest capacity, and like push_back (empty and
    // failed) when the allocation fails.
    bool append(const T* items, size_t n);
    // Resizes to n elements; new slots get `fill`.
    bool resize(size_t n, const T& fill);
    void clear();

private:
    void fail();

    T* m_Data = nullptr;
    size_t m_Size = 0;
    size_t m_Capacity = 0;
};

} // namespace deltapatch

#include "deltapatch/growablearray_impl.h"
