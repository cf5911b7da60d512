// ContentChecksum on top of liblzma's CRC-32.
#include "deltapatch/checksum.h"

#include <lzma.h>

namespace deltapatch {

uint32_t ContentChecksum(const uint8_t* data, size_t length)
{
    // The stored value is the CRC register before the final inversion, so undo liblzma's.
    if (length == 0)
        return 0xFFFFFFFFu;
    return ~lzma_crc32(data, length, 0);
}

} // namespace deltapatch
