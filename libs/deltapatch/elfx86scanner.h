// Finds the 32-bit relative displacements of x86 and x86-64 code in an ELF section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/elflayout.h"
#include "deltapatch/streams.h"

namespace deltapatch {

// Scans bytes[0, size), placed at `rva`, for call/jmp rel32 and conditional near jumps (and,
// with `x64`, the rip-relative forms) whose target lies in a loadable segment. Appends the
// positions of their displacement fields, ascending; false when memory runs out.
bool ScanX86Displacements(const uint8_t* bytes, uint64_t size, uint32_t rva, bool x64,
                          const ElfLayout& layout, GrowableArray<uint64_t>* fields);

} // namespace deltapatch
