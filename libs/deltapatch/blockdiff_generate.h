// Internal parts of the block diff generator, exposed for tests.
#pragma once

#include <cstddef>

namespace deltapatch {

// True when both inputs are below 2^31 bytes; otherwise logs which one is too large.
bool BlockDiffInputsFit(size_t oldLength, size_t newLength);

} // namespace deltapatch
