// Large buffers as 2 MiB aligned anonymous mappings advised to use transparent huge pages, so
// that filling them takes a few faults instead of one per 4 KiB page and growing them moves
// page tables instead of bytes. Freed mappings are kept for the next large buffer, which then
// finds its pages already faulted in.
#include "deltapatch/bufferallocation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>
#endif

namespace deltapatch {

namespace {

bool IsLarge(size_t size)
{
    return size >= kLargeBufferSize;
}

#if defined(__linux__)

constexpr size_t kHugePage = size_t(2) << 20;
// Freed mappings kept for reuse: a few, and only as much memory as a small file's steps need,
// so that the pairs of large files keep their peak.
constexpr size_t kKeptMappings = 4;
constexpr size_t kKeptBytes = size_t(16) << 20;

size_t PageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Mapped length of a large block: one huge page for a block that fits in it (a fault or two of
// 4 KiB pages cost about as much as filling a huge page), whole pages above that, and the last
// huge page taken whole when the block fills at least a quarter of it (a partly mapped huge
// page is never backed by one). 0 when the size is beyond any mapping.
size_t MappingLength(size_t size)
{
    if (size > SIZE_MAX / 2)
        return 0;
    if (size <= kHugePage)
        return kHugePage;
    size_t length = (size + PageSize() - 1) / PageSize() * PageSize();
    const size_t tail = length % kHugePage;
    if (tail >= kHugePage / 4)
        length += kHugePage - tail;
    return length;
}

// Advice only: without transparent huge pages the block simply keeps small pages.
void AdviseHugePages(void* block, size_t length)
{
#if defined(MADV_HUGEPAGE)
    ::madvise(block, length, MADV_HUGEPAGE);
#else
    (void)block;
    (void)length;
#endif
}

// A fresh mapping of `length` bytes starting on a huge page boundary, where huge pages can
// back it from its first byte.
void* MapAligned(size_t length)
{
    const size_t span = length + kHugePage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (aligned != start)
        ::munmap(raw, aligned - start);
    if (aligned + length != start + span)
        ::munmap(reinterpret_cast<void*>(aligned + length), start + span - aligned - length);
    auto* block = reinterpret_cast<void*>(aligned);
    AdviseHugePages(block, length);
    return block;
}

// Grows in place when the addresses after the block are free, otherwise moves the pages to a
// new aligned place; the bytes themselves are never copied.
void* RemapLarge(void* block, size_t oldLength, size_t newLength)
{
    if (newLength <= oldLength) {
        if (newLength < oldLength)
            ::munmap(static_cast<uint8_t*>(block) + newLength, oldLength - newLength);
        return block;
    }
    void* moved = ::mremap(block, oldLength, newLength, 0);
    if (moved == MAP_FAILED) {
        void* target = MapAligned(newLength);
        if (target == nullptr)
            return nullptr;
        moved = ::mremap(block, oldLength, newLength, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (moved == MAP_FAILED) {
            ::munmap(target, newLength);
            return nullptr;
        }
    }
    AdviseHugePages(moved, newLength);
    return moved;
}

// Mappings freed recently, newest last. Shared by every thread of the process.
class KeptMappings {
public:
    // Takes the smallest kept mapping of at least `length` bytes, else the largest one (the
    // caller grows it, keeping its pages); among equals the newest. False when none is kept.
    bool take(size_t length, void** block, size_t* keptLength)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Count == 0)
            return false;
        size_t best = m_Count - 1;
        for (size_t i = m_Count - 1; i-- > 0;) {
            if (better(m_Lengths[i], m_Lengths[best], length))
                best = i;
        }
        *block = m_Blocks[best];
        *keptLength = m_Lengths[best];
        removeAt(best);
        return true;
    }

    // Keeps the mapping, unmapping the oldest ones beyond the limits; false when it is too
    // large to keep at all.
    bool keep(void* block, size_t length)
    {
        if (length > kKeptBytes)
            return false;
        void* dropped[kKeptMappings + 1];
        size_t droppedLengths[kKeptMappings + 1];
        size_t drops = 0;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Blocks[m_Count] = block;
            m_Lengths[m_Count] = length;
            ++m_Count;
            m_Bytes += length;
            while (m_Count > kKeptMappings || m_Bytes > kKeptBytes) {
                dropped[drops] = m_Blocks[0];
                droppedLengths[drops++] = m_Lengths[0];
                removeAt(0);
            }
        }
        for (size_t i = 0; i < drops; ++i)
            ::munmap(dropped[i], droppedLengths[i]);
        return true;
    }

private:
    static bool better(size_t candidate, size_t current, size_t wanted)
    {
        const bool fits = candidate >= wanted;
        if (fits != (current >= wanted))
            return fits;
        return fits ? candidate < current : candidate > current;
    }

    void removeAt(size_t i)
    {
        m_Bytes -= m_Lengths[i];
        for (size_t j = i + 1; j < m_Count; ++j) {
            m_Blocks[j - 1] = m_Blocks[j];
            m_Lengths[j - 1] = m_Lengths[j];
        }
        --m_Count;
    }

    std::mutex m_Mutex;
    void* m_Blocks[kKeptMappings + 1] = {};
    size_t m_Lengths[kKeptMappings + 1] = {};
    size_t m_Count = 0;
    size_t m_Bytes = 0;
};

// Never destroyed: buffers of static objects may still be freed while the process exits.
KeptMappings& Kept()
{
    static KeptMappings& kept = *new KeptMappings;
    return kept;
}

void* AllocateLarge(size_t size)
{
    const size_t length = MappingLength(size);
    if (length == 0)
        return nullptr;
    void* block = nullptr;
    size_t keptLength = 0;
    if (Kept().take(length, &block, &keptLength)) {
        void* reused = RemapLarge(block, keptLength, length);
        if (reused != nullptr)
            return reused;
        ::munmap(block, keptLength);
    }
    return MapAligned(length);
}

void* ResizeLarge(void* block, size_t oldSize, size_t newSize)
{
    const size_t newLength = MappingLength(newSize);
    return newLength == 0 ? nullptr : RemapLarge(block, MappingLength(oldSize), newLength);
}

void FreeLarge(void* block, size_t size)
{
    const size_t length = MappingLength(size);
    if (!Kept().keep(block, length))
        ::munmap(block, length);
}

#else // Without mremap and huge page advice, malloc serves every size.

void* AllocateLarge(size_t size)
{
    return std::malloc(size);
}

void* ResizeLarge(void* block, size_t, size_t newSize)
{
    return std::realloc(block, newSize);
}

void FreeLarge(void* block, size_t)
{
    std::free(block);
}

#endif

} // namespace

void* AllocateBuffer(size_t size)
{
    return IsLarge(size) ? AllocateLarge(size) : std::malloc(size);
}

void* ResizeBuffer(void* data, size_t oldSize, size_t newSize)
{
    if (data == nullptr)
        return AllocateBuffer(newSize);
    if (IsLarge(oldSize) == IsLarge(newSize))
        return IsLarge(newSize) ? ResizeLarge(data, oldSize, newSize) : std::realloc(data, newSize);
    // Crossing the threshold changes the kind of block: the one time bytes are copied.
    void* fresh = AllocateBuffer(newSize);
    if (fresh == nullptr)
        return nullptr;
    std::memcpy(fresh, data, std::min(oldSize, newSize));
    FreeBuffer(data, oldSize);
    return fresh;
}

void FreeBuffer(void* data, size_t size)
{
    if (data == nullptr)
        return;
    if (IsLarge(size))
        FreeLarge(data, size);
    else
        std::free(data);
}

} // namespace deltapatch
