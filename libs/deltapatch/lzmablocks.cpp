// liblzma's dictionaries and match finder tables are large and filled from end to end; they
// come from the engine's buffer allocator so that huge pages can back them.
#include "deltapatch/lzmablocks.h"

#include <cstdint>
#include <cstdlib>

#include "deltapatch/bufferallocation.h"

namespace deltapatch {

LzmaBlocks::LzmaBlocks() : m_Allocator{&LzmaBlocks::allocate, &LzmaBlocks::release, this} {}

LzmaBlocks::~LzmaBlocks()
{
    for (const Block& block : m_Blocks)
        FreeBuffer(block.data, block.size);
}

void* LzmaBlocks::allocate(void* opaque, size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    size *= count;
    auto* self = static_cast<LzmaBlocks*>(opaque);
    Block* slot = nullptr;
    for (Block& block : self->m_Blocks) {
        if (block.data == nullptr)
            slot = &block;
    }
    if (size < kLargeBufferSize || slot == nullptr)
        return std::malloc(size);
    slot->data = AllocateBuffer(size);
    slot->size = size;
    return slot->data;
}

void LzmaBlocks::release(void* opaque, void* data)
{
    for (Block& block : static_cast<LzmaBlocks*>(opaque)->m_Blocks) {
        if (block.data == data && data != nullptr) {
            FreeBuffer(block.data, block.size);
            block = Block();
            return;
        }
    }
    std::free(data);
}

} // namespace deltapatch
