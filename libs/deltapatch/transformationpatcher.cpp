// The element patcher shared by all executable kinds.
#include "deltapatch/transformationpatcher.h"

#include <memory>
#include <new>

#include "deltapatch/disassembledprogram.h"
#include "deltapatch/encodedprogram.h"
#include "deltapatch/encodedprogram_inplace.h"
#include "deltapatch/executabledetection.h"

namespace deltapatch {

PatchStatus PatcherX86_32::readParameters(ByteSource* parameters)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!parameters->readVarint32(&offset) || !parameters->readVarint32(&length))
        return STATUS_BAD_TRANSFORM;
    if (offset > m_OldLength || length > m_OldLength - offset)
        return STATUS_BAD_TRANSFORM;
    m_Offset = offset;
    m_Length = length;
    return STATUS_OK;
}

PatchStatus PatcherX86_32::predictParameters(ByteSinkSet* /*predicted*/)
{
    return STATUS_OK;
}

PatchStatus PatcherX86_32::encodeRegion(ByteSourceSet* parameters, ByteSinkSet* element)
{
    if (!parameters->allConsumed())
        return STATUS_GENERAL_ERROR;
    // The kind named in the patch does not choose the parser: the region is detected afresh,
    // exactly as the generator did.
    std::unique_ptr<DisassembledProgram> program;
    PatchStatus status = ParseExecutable(m_Old + m_Offset, m_Length, &program);
    if (status != STATUS_OK)
        return status;
    status = program->trimLabels();
    if (status != STATUS_OK)
        return status;
    // Encoding needs no lookups, only the labels in order: the index goes before the streams
    // are made. The streams are written straight from the instructions, which go as they are
    // written, so no encoded copy of the program sits beside them.
    program->releaseLabelLookup();
    return EncodeAndReleaseProgram(program.get(), element);
}

PatchStatus PatcherX86_32::rebuildRegion(ByteSourceSet* element, ByteSink* ensemble)
{
    // Assembled from the corrected elements where they lie: only the label tables are decoded.
    SerialisedProgram program;
    const PatchStatus status = ReadSerialisedProgram(element, &program);
    if (status != STATUS_OK)
        return status;
    return AssembleSerialisedProgram(program, ensemble);
}

TransformationPatcher* MakeTransformationPatcher(uint32_t kind, const uint8_t* old,
                                                 size_t oldLength)
{
    if (kind < WIN_32_X86 || kind > MACHO_X64)
        return nullptr;
    return new (std::nothrow) PatcherX86_32(old, oldLength);
}

} // namespace deltapatch
