// Common base of the executable parsers.
#include "deltapatch/disassembler.h"

namespace deltapatch {

Disassembler::Disassembler(const uint8_t* start, size_t length)
    : m_Start(start), m_End(start + length), m_Length(length)
{
}

const uint8_t* Disassembler::fileOffsetToPointer(size_t offset) const
{
    if (offset > static_cast<size_t>(m_End - m_Start))
        return nullptr;
    return m_Start + offset;
}

bool Disassembler::markGood()
{
    m_FailureReason = "";
    return true;
}

bool Disassembler::markBad(const char* reason)
{
    m_FailureReason = reason;
    return false;
}

void Disassembler::reduceLength(size_t length)
{
    if (length < m_Length)
        m_Length = length;
}

} // namespace deltapatch
