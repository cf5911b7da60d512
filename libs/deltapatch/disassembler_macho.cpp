// Mach-O parser: header and segment checks, rel32 scanning of code sections, emission.
#include "deltapatch/disassembler_macho.h"

#include <algorithm>
#include <string>

#include "deltapatch/enginelog.h"

namespace deltapatch {

namespace {

constexpr size_t kMinLength = 32;
constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX64 = 0x01000007;
constexpr uint32_t kCommandSegment = 0x1;
constexpr uint32_t kCommandSegment64 = 0x19;
constexpr size_t kCommandHead = 8;
constexpr uint32_t kSegmentSize32 = 56;
constexpr uint32_t kSegmentSize64 = 72;
constexpr uint32_t kSectionSize32 = 68;
constexpr uint32_t kSectionSize64 = 80;
// Pure instructions of the regular section type.
constexpr uint32_t kCodeFlagsMask = 0x800000FF;
constexpr uint32_t kCodeFlags = 0x80000000;
constexpr uint64_t kMax32 = 0xFFFFFFFF;

uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t ReadU64(const uint8_t* p)
{
    return uint64_t(ReadU32(p)) | uint64_t(ReadU32(p + 4)) << 32;
}

bool IsSupportedFileType(uint32_t type)
{
    // Executable, preload, dynamic library, bundle.
    return type == 2 || type == 5 || type == 6 || type == 8;
}

// Where the displacement of an instruction starting at p lies, if it has one we track.
struct Candidate {
    size_t fieldOffset = 0;
    bool ripRelative = false;
};

// First bytes of the instructions FindCandidate knows; most code bytes are none of them.
bool MayStartCandidate(uint8_t b)
{
    return (b & 0xFE) == 0xE8 || b == 0xFF || b == 0x0F || (b & 0xFE) == 0x48;
}

bool FindCandidate(const uint8_t* p, size_t left, Candidate* candidate)
{
    if (left >= 5 && (p[0] & 0xFE) == 0xE8) {
        *candidate = {1, false}; // call / jmp rel32
        return true;
    }
    if (left >= 6 && p[0] == 0xFF && (p[1] == 0x25 || p[1] == 0x15)) {
        *candidate = {2, true}; // jmp / call through [rip + disp32]
        return true;
    }
    // Conditional near jumps; JP and JNP are left out.
    if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && (p[1] & 0xFE) != 0x8A) {
        *candidate = {2, false};
        return true;
    }
    if (left >= 7 && (p[0] & 0xFE) == 0x48 && (p[1] == 0x8D || p[1] == 0x8B) &&
        (p[2] & 0xC7) == 5) {
        *candidate = {3, true}; // lea / mov with a rip-relative operand
        return true;
    }
    return false;
}

struct Range {
    uint64_t begin;
    uint64_t end;
};

// The segments' virtual ranges, sorted and merged so that a target is found by binary search.
bool MergedRanges(const GrowableArray<DisassemblerMacho::Segment>& segments,
                  GrowableArray<Range>* ranges)
{
    if (!ranges->reserve(segments.size()))
        return false;
    for (size_t i = 0; i < segments.size(); ++i) {
        const uint64_t begin = segments[i].address;
        if (!ranges->push_back(Range{begin, begin + segments[i].virtualSize}))
            return false;
    }
    Range* first = ranges->data();
    std::sort(first, first + ranges->size(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    size_t kept = 0;
    for (size_t i = 0; i < ranges->size(); ++i) {
        if (kept > 0 && first[i].begin <= first[kept - 1].end)
            first[kept - 1].end = std::max(first[kept - 1].end, first[i].end);
        else
            first[kept++] = first[i];
    }
    return ranges->resize(kept, Range{0, 0});
}

bool InRanges(const GrowableArray<Range>& ranges, uint32_t target)
{
    const Range* first = ranges.data();
    const Range* last = first + ranges.size();
    const Range* after = std::upper_bound(
        first, last, uint64_t(target), [](uint64_t t, const Range& r) { return t < r.begin; });
    return after != first && target < (after - 1)->end;
}

// Records the RVAs of the displacement fields in bytes[0, size) whose targets lie inside a
// segment. A field that points elsewhere is probably not an instruction: scanning goes on at
// the next byte.
bool ScanSection(const uint8_t* bytes, uint32_t size, uint32_t rva, bool is64,
                 const GrowableArray<Range>& ranges, GrowableArray<uint32_t>* locations)
{
    size_t p = 0;
    while (p < size) {
        Candidate candidate;
        if (MayStartCandidate(bytes[p]) && FindCandidate(bytes + p, size - p, &candidate) &&
            (is64 || !candidate.ripRelative)) {
            const size_t field = p + candidate.fieldOffset;
            const uint32_t fieldRva = rva + uint32_t(field);
            if (InRanges(ranges, fieldRva + 4 + ReadU32(bytes + field))) {
                if (!locations->push_back(fieldRva))
                    return false;
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

// Label lookups go to scattered places of a large table; asking for the slots of references
// further ahead and for the labels of nearer ones keeps the walk from waiting on each.
void prefetchAhead(const DisassembledProgram* program, const uint32_t* locations, size_t left,
                   uint32_t sectionRva, const uint8_t* bytes, uint32_t size)
{
    constexpr size_t kSlotsAhead = 16;
    constexpr size_t kLabelsAhead = 8;
    const auto targetAt = [&](size_t ahead, uint32_t* target) {
        const uint32_t offset = locations[ahead] - sectionRva;
        if (offset >= size || size - offset < 4)
            return false;
        *target = locations[ahead] + 4 + ReadU32(bytes + offset);
        return true;
    };
    uint32_t target = 0;
    if (left > kSlotsAhead && targetAt(kSlotsAhead, &target))
        program->prefetchRel32Slot(target);
    if (left > kLabelsAhead && targetAt(kLabelsAhead, &target))
        program->prefetchRel32Label(target);
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const uint8_t* start, size_t length)
    : Disassembler(start, length)
{
}

bool DisassemblerMacho::parseHeader()
{
    m_Kind = UNKNOWN;
    m_HighestSegmentEnd = 0;
    m_Segments.clear();
    m_CodeSections.clear();
    m_Rel32Locations.clear();
    if (length() < kMinLength)
        return markBad("Too small");
    const uint32_t magic = ReadU32(start());
    const uint32_t cpu = ReadU32(start() + 4);
    if (magic != kMagic64 && magic != kMagic32)
        return markBad("Unknown magic type");
    m_Is64 = magic == kMagic64;
    if (cpu != (m_Is64 ? kCpuX64 : kCpuX86))
        return markBad("unsupported cpu type");
    if (!IsSupportedFileType(ReadU32(start() + 12)))
        return markBad("Unsupported filetype in header");
    if (!parseLoadCommands(ReadU32(start() + 16), m_Is64 ? 32 : 28) || !rebase())
        return false;
    if (m_CodeSections.empty())
        return markBad("Resource-only executables are not yet supported");
    CodeSection* first = m_CodeSections.data();
    std::stable_sort(first, first + m_CodeSections.size(),
                     [](const CodeSection& a, const CodeSection& b) {
                         return a.fileOffset < b.fileOffset;
                     });
    reduceLength(m_HighestSegmentEnd);
    m_Kind = m_Is64 ? MACHO_X64 : MACHO_X86;
    return markGood();
}

bool DisassemblerMacho::parseLoadCommands(uint32_t count, size_t offset)
{
    for (uint32_t i = 0; i < count; ++i) {
        // offset never passes length(): every command lies inside the image.
        if (length() - offset < kCommandHead)
            return markBad("file to small in load commands");
        const uint8_t* command = start() + offset;
        const uint32_t size = ReadU32(command + 4);
        // A command shorter than its own head would let the walk stand still.
        if (size < kCommandHead || size > length() - offset)
            return markBad("file to small in load commands");
        const uint32_t type = ReadU32(command);
        if (type == kCommandSegment && !parseSegment32(command, size))
            return false;
        if (type == kCommandSegment64 && !parseSegment64(command, size))
            return false;
        offset += size;
    }
    return true;
}

bool DisassemblerMacho::parseSegment32(const uint8_t* command, uint32_t size)
{
    if (m_Is64)
        return markBad("LC_SEGMENT not supported");
    if (size < kSegmentSize32)
        return markBad("bad LC_SEGMENT");
    const Segment segment{ReadU32(command + 24), ReadU32(command + 28), ReadU32(command + 32),
                          ReadU32(command + 36)};
    if (!addSegment(segment))
        return false;
    const uint32_t sections = ReadU32(command + 48);
    if (uint64_t(sections) * kSectionSize32 + kSegmentSize32 > size)
        return markBad("sections too small");
    for (uint32_t i = 0; i < sections; ++i) {
        const uint8_t* section = command + kSegmentSize32 + size_t(i) * kSectionSize32;
        if (!addSection(segment, ReadU32(section + 32), ReadU32(section + 36),
                        ReadU32(section + 40), ReadU32(section + 56)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::parseSegment64(const uint8_t* command, uint32_t size)
{
    if (!m_Is64)
        return markBad("LC_SEGMENT_64 not supported");
    if (size < kSegmentSize64)
        return markBad("bad LC_SEGMENT_64");
    const uint32_t sections = ReadU32(command + 64);
    // Segments without sections (__PAGEZERO among them) take no part in 64-bit images.
    if (sections == 0)
        return true;
    const uint64_t virtualSize = ReadU64(command + 32);
    const uint64_t fileOffset = ReadU64(command + 40);
    const uint64_t fileSize = ReadU64(command + 48);
    if (virtualSize > kMax32 || fileOffset > kMax32 || fileSize > kMax32)
        return markBad("overflow");
    const Segment segment{ReadU64(command + 24), uint32_t(virtualSize), uint32_t(fileOffset),
                          uint32_t(fileSize)};
    if (!addSegment(segment))
        return false;
    if (uint64_t(sections) * kSectionSize64 + kSegmentSize64 > size)
        return markBad("sections too small");
    for (uint32_t i = 0; i < sections; ++i) {
        const uint8_t* section = command + kSegmentSize64 + size_t(i) * kSectionSize64;
        const uint64_t sectionSize = ReadU64(section + 40);
        if (sectionSize > kMax32)
            return markBad("overflow");
        if (!addSection(segment, ReadU64(section + 32), sectionSize, ReadU32(section + 48),
                        ReadU32(section + 64)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::addSegment(const Segment& segment)
{
    if (!m_Segments.push_back(segment))
        return markBad("out of memory");
    const uint64_t fileEnd = uint64_t(segment.fileOffset) + segment.fileSize;
    m_HighestSegmentEnd = std::max(m_HighestSegmentEnd, fileEnd);
    if (fileEnd > length())
        return markBad("segment too large");
    return true;
}

bool DisassemblerMacho::addSection(const Segment& segment, uint64_t address, uint64_t size,
                                   uint32_t fileOffset, uint32_t flags)
{
    if ((flags & kCodeFlagsMask) != kCodeFlags)
        return true;
    if (address < segment.address || address - segment.address > segment.virtualSize ||
        size > segment.virtualSize - (address - segment.address))
        return markBad("section larger than segment");
    // The scanner reads the section's bytes, so they must be inside the image.
    if (uint64_t(fileOffset) + size > length())
        return markBad("section too large");
    if (!m_CodeSections.push_back(CodeSection{address, uint32_t(size), fileOffset}))
        return markBad("out of memory");
    return true;
}

bool DisassemblerMacho::rebase()
{
    if (m_Segments.empty())
        return true;
    uint64_t lowest = m_Segments[0].address;
    for (size_t i = 1; i < m_Segments.size(); ++i)
        lowest = std::min(lowest, m_Segments[i].address);
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        Segment& segment = m_Segments[i];
        if (segment.address - lowest > kMax32 - segment.virtualSize)
            return markBad("overflow");
        segment.address -= lowest;
    }
    for (size_t i = 0; i < m_CodeSections.size(); ++i)
        m_CodeSections[i].address -= lowest;
    return true;
}

uint32_t DisassemblerMacho::fileOffsetToRva(size_t offset) const
{
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const Segment& segment = m_Segments[i];
        if (offset >= segment.fileOffset && offset - segment.fileOffset < segment.fileSize)
            return uint32_t(offset - segment.fileOffset + segment.address);
    }
    return 0;
}

int64_t DisassemblerMacho::rvaToFileOffset(uint32_t rva) const
{
    for (size_t i = 0; i < m_Segments.size(); ++i) {
        const Segment& segment = m_Segments[i];
        if (rva < segment.address || rva - segment.address >= segment.virtualSize)
            continue;
        const uint64_t distance = rva - segment.address;
        if (distance >= segment.fileSize)
            return -1;
        return int64_t(segment.fileOffset + distance);
    }
    logWarning("RVAToFileOffset reached invalid point");
    return -1;
}

const uint8_t* DisassemblerMacho::rvaToPointer(uint32_t rva) const
{
    const int64_t offset = rvaToFileOffset(rva);
    return offset < 0 ? nullptr : fileOffsetToPointer(size_t(offset));
}

// Sections are visited as emission visits them: in file order, leaving out any that starts
// inside one already visited, so that no byte is scanned twice.
bool DisassemblerMacho::findRel32Locations()
{
    m_Rel32Locations.clear();
    GrowableArray<Range> ranges;
    if (!MergedRanges(m_Segments, &ranges))
        return false;
    bool complete = true;
    uint64_t scannedEnd = 0;
    for (size_t i = 0; i < m_CodeSections.size(); ++i) {
        const CodeSection& section = m_CodeSections[i];
        if (section.fileOffset < scannedEnd)
            continue;
        scannedEnd = uint64_t(section.fileOffset) + section.size;
        if (fileOffsetToPointer(section.fileOffset) == nullptr) {
            // Not fatal here: the section is skipped and the caller fails through its status.
            logError("Assertion \"start_pointer != __null\" failed at "
                     "../../deps/deltapatch/src/lib/disassembler_macho:306; ");
            complete = false;
            continue;
        }
        if (!ScanSection(start() + section.fileOffset, section.size,
                         fileOffsetToRva(section.fileOffset), m_Is64, ranges, &m_Rel32Locations))
            return false;
    }
    uint32_t* first = m_Rel32Locations.data();
    std::sort(first, first + m_Rel32Locations.size());
    return complete;
}

bool DisassemblerMacho::emitBytes(DisassembledProgram* program, size_t from, size_t to) const
{
    return from >= to || program->emitBytes(start() + from, to - from);
}

// Bytes between references go out as runs that end where a location could match, so the
// program is the one a byte-by-byte walk would give.
bool DisassemblerMacho::emitSection(DisassembledProgram* program,
                                    const CodeSection& section) const
{
    const uint8_t* bytes = start() + section.fileOffset;
    uint32_t rva = fileOffsetToRva(section.fileOffset);
    if (!program->emitOrigin(rva))
        return false;
    const uint32_t* locations = m_Rel32Locations.data();
    const size_t count = m_Rel32Locations.size();
    size_t next = std::lower_bound(locations, locations + count, rva) - locations;
    size_t at = 0;
    while (at < section.size) {
        while (next < count && locations[next] < rva)
            ++next;
        const uint32_t previous = rva;
        if (next < count && locations[next] == rva && section.size - at >= 4) {
            prefetchAhead(program, locations + next, count - next, rva - uint32_t(at), bytes,
                          section.size);
            AddressLabel* label = program->findOrMakeRel32Label(rva + 4 + ReadU32(bytes + at));
            if (label == nullptr || !program->emitRel32(label))
                return false;
            at += 4;
            rva += 4;
        } else {
            // Up to the next location above, the section's end or the RVA wrapping around.
            size_t above = next;
            while (above < count && locations[above] <= rva)
                ++above;
            uint64_t run = std::min<uint64_t>(section.size - at, kMax32 + 1 - rva);
            if (above < count)
                run = std::min<uint64_t>(run, locations[above] - rva);
            if (!program->emitBytes(bytes + at, size_t(run)))
                return false;
            at += size_t(run);
            rva += uint32_t(run);
        }
        if (rva < previous) // the RVA wrapped around: start over with the lowest locations
            next = 0;
    }
    return true;
}

bool DisassemblerMacho::disassemble(DisassembledProgram* program)
{
    if (!good())
        return false;
    program->setImageBase(0);
    if (!findRel32Locations())
        return false;
    // A run and a reference per location, an origin and two runs per section, at most; about
    // half the references of a program go to a target of their own.
    const size_t locations = m_Rel32Locations.size();
    if (!program->reserve(2 * locations + 3 * m_CodeSections.size() + 2, locations / 2, 0))
        return false;
    size_t offset = 0;
    for (size_t i = 0; i < m_CodeSections.size(); ++i) {
        const CodeSection& section = m_CodeSections[i];
        if (section.fileOffset < offset)
            continue;
        if (!emitBytes(program, offset, section.fileOffset) || !emitSection(program, section))
            return false;
        offset = size_t(section.fileOffset) + section.size;
    }
    if (!emitBytes(program, offset, length()))
        return false;
    program->assignDefaultIndexes();
    return true;
}

} // namespace deltapatch
