// ContentChecksum: the CRC-32 register (zlib polynomial, initial all-ones) without the final
// inversion, i.e. the bitwise NOT of the standard CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deltapatch {

uint32_t ContentChecksum(const uint8_t* data, size_t length);

} // namespace deltapatch
