// Per-pair encoding of old and new programs for an executable-aware ensemble patch.
#include "deltapatch/ensembleelements.h"

#include <memory>

#include "deltapatch/encodedprogram.h"
#include "deltapatch/executabledetection.h"
#include "deltapatch/labelindexremap.h"
#include "deltapatch/labelmatcher.h"
#include "deltapatch/programreferences.h"

namespace deltapatch {
namespace {

// Parse, trim and encode, as the applier transforms a region; the references are read before
// the disassembled program (the largest structure) goes.
PatchStatus encodeRegion(const uint8_t* data, size_t length, EncodedProgram* encoded,
                         ProgramReferences* references)
{
    std::unique_ptr<DisassembledProgram> program;
    PatchStatus status = ParseExecutable(data, length, &program);
    if (status == STATUS_OK)
        status = program->trimLabels();
    if (status == STATUS_OK)
        status = EncodeProgram(*program, encoded);
    if (status == STATUS_OK)
        references->collect(*program, length);
    return status;
}

PatchStatus writeElement(const EncodedProgram& program, ByteSinkSet* elements)
{
    ByteSinkSet element;
    if (WriteEncodedProgram(program, &element) != STATUS_OK || !elements->writeSet(&element))
        return STATUS_STREAM_ERROR;
    return STATUS_OK;
}

void addCounts(const LabelIndexMap& map, LabelMatchCounts* counts)
{
    counts->byReferences += map.byReferences;
    counts->byTargets += map.byTargets;
    counts->byNeighbours += map.byNeighbours;
    counts->unmatched += map.unmatched;
}

} // namespace

bool EnsembleElements::begin(ByteSource oldFile)
{
    m_OldLength = oldFile.remaining();
    return m_Ensemble.write(oldFile.current(), oldFile.remaining());
}

PatchStatus EnsembleElements::add(ByteSource oldFile, ByteSource newFile, const ElementPair& pair,
                                  const ImageAlignment& alignment)
{
    const ProgramElement& oldElement = pair.oldElement;
    const ProgramElement& newElement = pair.newElement;
    EncodedProgram oldProgram;
    ProgramReferences oldReferences;
    PatchStatus status = encodeRegion(oldFile.current() + oldElement.offset, oldElement.length,
                                      &oldProgram, &oldReferences);
    if (status == STATUS_OK)
        status = writeElement(oldProgram, &m_Transformed);
    EncodedProgram newProgram;
    ProgramReferences newReferences;
    if (status == STATUS_OK)
        status = encodeRegion(newFile.current() + newElement.offset, newElement.length,
                              &newProgram, &newReferences);
    if (status != STATUS_OK)
        return status;
    const MatchInput input{&oldReferences, oldElement.offset, oldElement.length,
                           &newReferences, newElement.offset, &alignment};
    for (LabelTableId table : {REL32_TABLE, ABS32_TABLE}) {
        const LabelIndexMap map = MatchLabels(input, table);
        addCounts(map, &m_Counts);
        const GrowableArray<uint32_t>& oldRvas =
            table == REL32_TABLE ? oldProgram.rel32Rvas : oldProgram.abs32Rvas;
        if (!RemapLabelIndexes(&newProgram, table, map, newReferences.labels(table), oldRvas))
            return STATUS_GENERAL_ERROR;
    }
    status = writeElement(newProgram, &m_Corrected);
    return status == STATUS_OK ? AssembleProgram(newProgram, &m_Ensemble) : status;
}

bool EnsembleElements::serialise(ByteSink* transformed, ByteSink* corrected)
{
    return m_Transformed.copyToOneStream(transformed) && m_Corrected.copyToOneStream(corrected);
}

} // namespace deltapatch
