// ContentChecksum: carry-less multiplication folds 16-byte blocks where the processor has it,
// liblzma's CRC-32 does the rest (and everything elsewhere).
#include "deltapatch/checksum.h"

#include <lzma.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DELTAPATCH_CLMUL_CRC 1
#include <immintrin.h>
#endif

namespace deltapatch {

namespace {

#if defined(DELTAPATCH_CLMUL_CRC)

// Folding constants of the reflected CRC-32 polynomial: x^(4*128+32) and x^(4*128-32) mod P
// for four lanes, x^(128+32) and x^(128-32) for one, x^64 for the last fold, then P' and mu
// for the Barrett reduction.
#define CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

CLMUL_TARGET __m128i Fold(__m128i lane, __m128i constants, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

CLMUL_TARGET __m128i Load(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The 128-bit remainder reduced to the 32-bit register.
CLMUL_TARGET uint32_t Reduce(__m128i x, __m128i oneLane)
{
    const __m128i last = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, oneLane, 0x10), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), last, 0x00),
                      _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

// The register after `n` bytes (at least 64, a multiple of 16), four lanes at a time.
CLMUL_TARGET uint32_t FoldBlocks(uint32_t reg, const uint8_t* p, size_t n)
{
    const __m128i fourLanes = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i oneLane = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x2 = Load(p + 16);
    __m128i x3 = Load(p + 32);
    __m128i x4 = Load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x1 = Fold(x1, fourLanes, Load(p));
        x2 = Fold(x2, fourLanes, Load(p + 16));
        x3 = Fold(x3, fourLanes, Load(p + 32));
        x4 = Fold(x4, fourLanes, Load(p + 48));
    }
    x1 = Fold(Fold(Fold(x1, oneLane, x2), oneLane, x3), oneLane, x4);
    for (; n >= 16; p += 16, n -= 16)
        x1 = Fold(x1, oneLane, Load(p));
    return Reduce(x1, oneLane);
}

bool HasClmul()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return has;
}

#endif

} // namespace

uint32_t ContentChecksum(const uint8_t* data, size_t length)
{
    // The stored value is the CRC register before the final inversion.
    uint32_t reg = 0xFFFFFFFFu;
#if defined(DELTAPATCH_CLMUL_CRC)
    if (length >= 64 && HasClmul()) {
        const size_t blocks = length & ~size_t(15);
        reg = FoldBlocks(reg, data, blocks);
        data += blocks;
        length -= blocks;
    }
#endif
    // liblzma continues from a finished CRC, the register's inverse, and returns one.
    return length == 0 ? reg : ~lzma_crc32(data, length, ~reg);
}

} // namespace deltapatch
