// GrowableArray member definitions: no-throw growth from 64 elements, doubling, saturating.
#pragma once

#include <cstring>
#include <type_traits>
#include <utility>

#include "deltapatch/bufferallocation.h"

namespace deltapatch {

namespace growablearray_detail {
constexpr size_t kMinCapacity = 64;
constexpr size_t kMaxCapacity = (size_t(1) << 62) - 1;
} // namespace growablearray_detail

template <typename T> GrowableArray<T>::~GrowableArray()
{
    static_assert(std::is_trivially_copyable<T>::value, "GrowableArray copies elements as bytes");
    FreeBuffer(m_Data, m_Capacity * sizeof(T));
}

template <typename T>
GrowableArray<T>::GrowableArray(GrowableArray&& other) noexcept
    : m_Data(std::exchange(other.m_Data, nullptr)), m_Size(std::exchange(other.m_Size, 0)),
      m_Capacity(std::exchange(other.m_Capacity, 0))
{
}

template <typename T> GrowableArray<T>& GrowableArray<T>::operator=(GrowableArray&& other) noexcept
{
    if (this != &other) {
        FreeBuffer(m_Data, m_Capacity * sizeof(T));
        m_Data = std::exchange(other.m_Data, nullptr);
        m_Size = std::exchange(other.m_Size, 0);
        m_Capacity = std::exchange(other.m_Capacity, 0);
    }
    return *this;
}

template <typename T> void GrowableArray<T>::fail()
{
    FreeBuffer(m_Data, m_Capacity * sizeof(T));
    m_Data = nullptr;
    m_Size = 0;
    m_Capacity = kFailedCapacity;
}

template <typename T> void GrowableArray<T>::clear()
{
    FreeBuffer(m_Data, m_Capacity * sizeof(T));
    m_Data = nullptr;
    m_Size = 0;
    m_Capacity = 0;
}

template <typename T> bool GrowableArray<T>::reserve(size_t capacity)
{
    if (failed())
        return false;
    if (m_Capacity >= capacity)
        return true;
    size_t count = capacity < growablearray_detail::kMinCapacity ? growablearray_detail::kMinCapacity
                                                                 : capacity;
    // A working array must never carry the failed marker as its capacity.
    if (count == kFailedCapacity)
        ++count;
    T* fresh = nullptr;
    if (count <= growablearray_detail::kMaxCapacity && count <= static_cast<size_t>(-1) / sizeof(T))
        fresh = static_cast<T*>(ResizeBuffer(m_Data, m_Capacity * sizeof(T), count * sizeof(T)));
    if (fresh == nullptr) {
        fail();
        return false;
    }
    m_Data = fresh;
    m_Capacity = count;
    return true;
}

template <typename T> bool GrowableArray<T>::push_back(const T& value)
{
    if (failed() || m_Size >= growablearray_detail::kMaxCapacity)
        return false;
    if (m_Size == m_Capacity) {
        const T copy = value; // `value` may live in the buffer that growing frees
        size_t capacity = m_Capacity != 0 ? m_Capacity : growablearray_detail::kMinCapacity;
        while (capacity <= m_Size) {
            capacity = capacity > growablearray_detail::kMaxCapacity / 2 ? growablearray_detail::kMaxCapacity
                                                                       : capacity * 2;
        }
        if (!reserve(capacity))
            return false;
        m_Data[m_Size++] = copy;
        return true;
    }
    m_Data[m_Size++] = value;
    return true;
}

template <typename T> bool GrowableArray<T>::append(const T* items, size_t n)
{
    if (failed() || n > growablearray_detail::kMaxCapacity - m_Size)
        return false;
    if (n == 0)
        return true;
    if (n > m_Capacity - m_Size) {
        // `items` may live in the buffer that growing frees.
        const bool inside = m_Data != nullptr && items >= m_Data && items < m_Data + m_Size;
        const size_t offset = inside ? static_cast<size_t>(items - m_Data) : 0;
        const size_t needed = m_Size + n;
        size_t capacity = m_Capacity != 0 ? m_Capacity : growablearray_detail::kMinCapacity;
        while (capacity < needed) {
            capacity = capacity > growablearray_detail::kMaxCapacity / 2 ? growablearray_detail::kMaxCapacity
                                                                       : capacity * 2;
        }
        if (!reserve(capacity))
            return false;
        if (inside)
            items = m_Data + offset;
    }
    std::memmove(static_cast<void*>(m_Data + m_Size), items, n * sizeof(T));
    m_Size += n;
    return true;
}

template <typename T> bool GrowableArray<T>::resize(size_t n, const T& fill)
{
    const T copy = fill; // `fill` may live in the buffer that growing frees
    if (failed() || !reserve(n))
        return false;
    for (size_t i = m_Size; i < n; ++i)
        m_Data[i] = copy;
    m_Size = n;
    return true;
}

} // namespace deltapatch
