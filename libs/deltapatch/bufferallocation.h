// Memory for the engine's large buffers: small blocks from malloc, large ones as page mappings
// that the kernel may back with transparent huge pages.
#pragma once

#include <cstddef>

namespace deltapatch {

// Blocks of at least this size are large: big enough that faulting them in 4 KiB pages costs
// more than filling one 2 MiB huge page.
constexpr size_t kLargeBufferSize = size_t(1) << 17;

// A block of `size` bytes (more than 0), or nullptr. Never throws.
void* AllocateBuffer(size_t size);

// Resizes a block allocated or last resized with `oldSize` to `newSize` bytes (more than 0),
// keeping the first min(oldSize, newSize) bytes; `data` may be nullptr with `oldSize` 0. Large
// blocks move by remapping their pages, not by copying them. Returns nullptr and leaves the old
// block intact when memory runs out.
void* ResizeBuffer(void* data, size_t oldSize, size_t newSize);

// Frees a block given the size it was allocated or last resized with; nullptr is ignored. A few
// recently freed large blocks stay mapped, with their pages, for the next large allocations of
// the process.
void FreeBuffer(void* data, size_t size);

} // namespace deltapatch
