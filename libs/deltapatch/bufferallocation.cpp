// Large buffers as 2 MiB aligned anonymous mappings advised to use transparent huge pages, so
// that filling them takes a few faults instead of one per 4 KiB page and growing them moves
// page tables instead of bytes.
#include "deltapatch/bufferallocation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
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

size_t PageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Mapped length of a large block: whole pages, and the last huge page taken whole when the
// block fills at least a quarter of it (a partly mapped huge page is never backed by one). 0
// when the size is beyond any mapping.
size_t MappingLength(size_t size)
{
    if (size > SIZE_MAX / 2)
        return 0;
    size_t length = (size + PageSize() - 1) / PageSize() * PageSize();
    const size_t tail = length % kHugePage;
    if (tail >= kLargeBufferSize)
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

void* AllocateLarge(size_t size)
{
    const size_t length = MappingLength(size);
    return length == 0 ? nullptr : MapAligned(length);
}

void* ResizeLarge(void* block, size_t oldSize, size_t newSize)
{
    const size_t newLength = MappingLength(newSize);
    return newLength == 0 ? nullptr : RemapLarge(block, MappingLength(oldSize), newLength);
}

void FreeLarge(void* block, size_t size)
{
    ::munmap(block, MappingLength(size));
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
