// Common base of the executable parsers: the image range, the failure reason and the two steps
// every parser implements (header check, disassembly).
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/patchstatus.h"

namespace deltapatch {

class Disassembler {
public:
    // The image is borrowed and must outlive the parser and every program it fills: programs
    // keep pointers into it.
    Disassembler(const uint8_t* start, size_t length);
    virtual ~Disassembler() = default;
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    // The kind the header check found; UNKNOWN for the base.
    virtual ExecutableKind kind() const { return UNKNOWN; }
    // Checks the headers; false with failureReason() set when the image is not one of ours.
    virtual bool parseHeader() = 0;
    // Emits the whole image into `program`; false without a successful header check or when the
    // program cannot take an instruction.
    virtual bool disassemble(DisassembledProgram* program) = 0;

    // "uninitialized" until a header check ran, empty after a successful one.
    const char* failureReason() const { return m_FailureReason; }
    bool good() const { return *m_FailureReason == '\0'; }

    const uint8_t* start() const { return m_Start; }
    const uint8_t* end() const { return m_End; }
    // The image length, possibly reduced by the header check to what the headers describe.
    size_t length() const { return m_Length; }

    // Pointer to the byte at `offset`, or null when the offset lies beyond the image's end.
    const uint8_t* fileOffsetToPointer(size_t offset) const;

protected:
    // Clear the failure reason; returns true.
    bool markGood();
    // Set the failure reason (a static text); returns false.
    bool markBad(const char* reason);
    // The length becomes the smaller of itself and `length`; the end pointer stays.
    void reduceLength(size_t length);

private:
    const char* m_FailureReason = "uninitialized";
    const uint8_t* m_Start;
    const uint8_t* m_End;
    size_t m_Length;
};

} // namespace deltapatch
