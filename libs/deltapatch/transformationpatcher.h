// Element patchers of ensemble patches: each turns one region of the old file into an encoded
// program for the element diff, and the corrected program back into bytes for the final diff.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deltapatch/patchstatus.h"
#include "deltapatch/streams.h"

namespace deltapatch {

class TransformationPatcher {
public:
    virtual ~TransformationPatcher() = default;

    // Reads the patcher's own initial parameters from the patch's parameter stream, advancing
    // it. STATUS_OK, or the status that describes what was wrong with them.
    virtual PatchStatus readParameters(ByteSource* parameters) = 0;
    // Writes the transformation parameters the patcher expects into `predicted`.
    virtual PatchStatus predictParameters(ByteSinkSet* predicted) = 0;
    // Transforms the patcher's region with the corrected parameters into an element, written
    // to `element`.
    virtual PatchStatus encodeRegion(ByteSourceSet* parameters, ByteSinkSet* element) = 0;
    // Rebuilds the region's new bytes from the corrected element and appends them to `ensemble`.
    virtual PatchStatus rebuildRegion(ByteSourceSet* element, ByteSink* ensemble) = 0;
    // How many bytes of the old file the patcher transforms (known once its parameters are read).
    virtual size_t regionLength() const = 0;
};

// The patcher of every executable kind: its region of the old file is parsed by whichever
// parser accepts it, encoded as a program, and rebuilt by assembling the corrected program.
class PatcherX86_32 : public TransformationPatcher {
public:
    // The old file's bytes are borrowed and must outlive the patcher.
    PatcherX86_32(const uint8_t* old, size_t oldLength) : m_Old(old), m_OldLength(oldLength) {}
    PatcherX86_32(const PatcherX86_32&) = delete;
    PatcherX86_32& operator=(const PatcherX86_32&) = delete;

    // Reads the region's offset and length: STATUS_BAD_TRANSFORM when either is missing or the
    // region does not lie inside the old file.
    PatchStatus readParameters(ByteSource* parameters) override;
    // Expects no parameters: writes nothing, STATUS_OK.
    PatchStatus predictParameters(ByteSinkSet* predicted) override;
    // STATUS_GENERAL_ERROR for non-empty parameters; otherwise parses (STATUS_INPUT_NOT_RECOGNIZED,
    // STATUS_DISASSEMBLY_FAILED), trims (STATUS_TRIM_FAILED), encodes (STATUS_GENERAL_ERROR)
    // and writes the program (STATUS_STREAM_ERROR) in the encoded program's stream layout.
    PatchStatus encodeRegion(ByteSourceSet* parameters, ByteSinkSet* element) override;
    // Reads the program (STATUS_DESERIALIZATION_FAILED) and appends its assembly
    // (STATUS_ASSEMBLY_FAILED).
    PatchStatus rebuildRegion(ByteSourceSet* element, ByteSink* ensemble) override;

    size_t regionLength() const override { return m_Length; }
    uint32_t regionOffset() const { return m_Offset; }

private:
    const uint8_t* m_Old;
    size_t m_OldLength;
    uint32_t m_Offset = 0;
    uint32_t m_Length = 0;
};

// A new patcher for an executable kind read from a patch (1..7), or null for any other kind
// and when memory runs out. The old file's bytes must outlive it.
TransformationPatcher* MakeTransformationPatcher(uint32_t kind, const uint8_t* old,
                                                 size_t oldLength);

} // namespace deltapatch
