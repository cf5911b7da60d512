// Displacement scanner for x86 and x86-64 code in ELF images.
#include "deltapatch/elfx86scanner.h"

namespace deltapatch {

namespace {

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// First bytes of the instructions FieldOffset knows; most code bytes are none of them.
bool MayStartField(uint8_t b)
{
    return (b & 0xFE) == 0xE8 || b == 0xFF || b == 0x0F || (b & 0xFE) == 0x48;
}

// Offset of the displacement field of the instruction at p, or 0 when it has none we track.
uint64_t FieldOffset(const uint8_t* p, uint64_t left, bool x64)
{
    if (left >= 5 && (p[0] & 0xFE) == 0xE8)
        return 1; // call / jmp rel32
    if (x64 && left >= 6 && p[0] == 0xFF && (p[1] == 0x25 || p[1] == 0x15))
        return 2; // jmp / call through [rip + disp32]
    // Conditional near jumps; JP and JNP are left out.
    if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && (p[1] & 0xFE) != 0x8A)
        return 2;
    if (x64 && left >= 7 && (p[0] & 0xFE) == 0x48 && (p[1] == 0x8D || p[1] == 0x8B) &&
        (p[2] & 0xC7) == 5)
        return 3; // lea / mov with a rip-relative operand
    return 0;
}

} // namespace

bool ScanX86Displacements(const uint8_t* bytes, uint64_t size, uint32_t rva, bool x64,
                          const ElfLayout& layout, GrowableArray<uint64_t>* fields)
{
    uint64_t p = 0;
    while (p < size) {
        const uint64_t at = MayStartField(bytes[p]) ? FieldOffset(bytes + p, size - p, x64) : 0;
        if (at != 0) {
            const uint64_t field = p + at;
            const uint32_t fieldRva = rva + uint32_t(field);
            // A displacement that points outside the image is probably not an instruction:
            // scanning goes on at the next byte.
            if (layout.isValidTarget(fieldRva + 4 + ReadU32(bytes + field))) {
                if (!fields->push_back(field))
                    return false;
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

} // namespace deltapatch
