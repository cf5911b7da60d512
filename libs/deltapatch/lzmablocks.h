// liblzma allocator that takes the large blocks (dictionaries, match finder tables) from the
// engine's buffer allocator.
#pragma once

#include <lzma.h>

#include <cstddef>

namespace deltapatch {

// liblzma frees without a size, so the large blocks of one coder are remembered here; small
// ones go to malloc. Every block still held is freed with the object, which must therefore
// outlive the coder (lzma_end) that uses allocator().
class LzmaBlocks {
public:
    LzmaBlocks();
    ~LzmaBlocks();
    LzmaBlocks(const LzmaBlocks&) = delete;
    LzmaBlocks& operator=(const LzmaBlocks&) = delete;

    const lzma_allocator* allocator() const { return &m_Allocator; }

private:
    struct Block {
        void* data = nullptr;
        size_t size = 0;
    };

    static void* allocate(void* opaque, size_t count, size_t size);
    static void release(void* opaque, void* data);

    lzma_allocator m_Allocator;
    Block m_Blocks[8];
};

} // namespace deltapatch
