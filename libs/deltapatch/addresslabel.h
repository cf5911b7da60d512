// A code or data address with the identity (index) it gets in an encoded program.
#pragma once

#include <cstdint>

namespace deltapatch {

struct AddressLabel {
    static constexpr int32_t kNoIndex = -1;

    uint32_t rva = 0;
    int32_t index = kNoIndex;
    // How many instructions asked for this label; trimming drops rarely used ones.
    int32_t referenceCount = 0;
};

} // namespace deltapatch
