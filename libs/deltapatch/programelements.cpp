// Element discovery for the executable-aware container.
#include "deltapatch/programelements.h"

namespace deltapatch {

namespace {

constexpr uint32_t kUniversalMagic = 0xCAFEBABE;
constexpr size_t kMinUniversalLength = 4096;
constexpr uint32_t kMaxUniversalSlices = 8;
constexpr size_t kSliceRecordsStart = 8;
constexpr size_t kSliceRecordSize = 20;
constexpr size_t kSliceOffsetField = 8;
constexpr size_t kSliceSizeField = 12;

uint32_t BigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool OverlapsAccepted(const ProgramElements& found, size_t offset, size_t length)
{
    for (size_t i = 0; i < found.count; ++i) {
        const ProgramElement& e = found.items[i];
        if (offset < e.offset + e.length && e.offset < offset + length)
            return true;
    }
    return false;
}

// Accepts the slices a parser recognises, in order. Returns false as soon as a slice lies
// outside the file, overlaps an accepted one or holds an image larger than itself: such a
// table cannot be trusted, so the caller looks at the whole file instead.
bool AddUniversalSlices(const uint8_t* data, size_t length, DetectFunction detect,
                        ProgramElements* found)
{
    // The length check also keeps the eight slice records (168 bytes) inside the data.
    if (length < kMinUniversalLength || BigEndian32(data) != kUniversalMagic)
        return true;
    const uint32_t slices = BigEndian32(data + 4);
    if (slices > kMaxUniversalSlices)
        return true;
    for (uint32_t i = 0; i < slices; ++i) {
        const uint8_t* record = data + kSliceRecordsStart + i * kSliceRecordSize;
        const size_t offset = BigEndian32(record + kSliceOffsetField);
        const size_t size = BigEndian32(record + kSliceSizeField);
        if (offset > length || size > length - offset || OverlapsAccepted(*found, offset, size))
            return false;
        ExecutableKind kind = UNKNOWN;
        size_t image = 0;
        if (detect(data + offset, size, &kind, &image) != STATUS_OK)
            continue;
        if (image > size)
            return false;
        found->items[found->count++] = ProgramElement{offset, size, kind};
    }
    return true;
}

} // namespace

PatchStatus FindProgramElements(const uint8_t* data, size_t length, DetectFunction detect,
                                ProgramElements* found)
{
    found->count = 0;
    const bool complete = AddUniversalSlices(data, length, detect, found);
    if (complete && found->count > 0)
        return STATUS_OK;
    ExecutableKind kind = UNKNOWN;
    size_t image = 0;
    const PatchStatus status = detect(data, length, &kind, &image);
    if (status != STATUS_OK)
        return status;
    // An image said to reach past the file would make the encoder read beyond it.
    if (image > length)
        return STATUS_INPUT_NOT_RECOGNIZED;
    found->items[found->count++] = ProgramElement{0, image, kind};
    return STATUS_OK;
}

} // namespace deltapatch
