// Tests of the ELF parsers on small hand-made images: header checks, address mappings,
// relocation handling, the x86, x86-64 and ARM/Thumb-2 scanners and ARM label trimming.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capturedlog.h"
#include "deltapatch/disassembler_elf32_arm.h"
#include "deltapatch/disassembler_elf32_x86.h"
#include "deltapatch/disassembler_elf64_x64.h"
#include "deltapatch/encodedprogram.h"
#include "deltapatch/executabledetection.h"
#include "elfbuilder.h"
#include "machotesthelpers.h"
#include "programtesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kX86 = 3;
constexpr uint16_t kArm = 40;
constexpr uint16_t kX64 = 62;
constexpr uint32_t kProgBits = 1;
constexpr uint32_t kRel = 9;

std::unique_ptr<Disassembler> parserFor(uint16_t machine, const Bytes& image)
{
    if (machine == kArm)
        return std::make_unique<DisassemblerElf32ARM>(image.data(), image.size());
    if (machine == kX64)
        return std::make_unique<DisassemblerElf64X64>(image.data(), image.size());
    return std::make_unique<DisassemblerElf32X86>(image.data(), image.size());
}

Bytes le32(uint32_t value)
{
    Bytes out;
    appendU32(&out, value);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes relocation(uint32_t place, uint32_t info)
{
    return concat({le32(place), le32(info)});
}

Bytes put(Bytes image, uint64_t at, uint64_t value, int width)
{
    ElfPut(&image, at, value, width);
    return image;
}

// A program of the image's machine; the parser stays alive with it.
struct Disassembled {
    std::unique_ptr<Disassembler> parser;
    std::unique_ptr<DisassembledProgram> program;
    bool ok = false;
};

Disassembled disassemble(uint16_t machine, const Bytes& image)
{
    Disassembled out;
    out.parser = parserFor(machine, image);
    if (!out.parser->parseHeader()) {
        ADD_FAILURE() << "header rejected: " << out.parser->failureReason();
        return out;
    }
    out.program = std::make_unique<DisassembledProgram>(out.parser->kind());
    out.ok = out.parser->disassemble(out.program.get());
    return out;
}

// Encodes and assembles without trimming, so that every ARM branch is rebuilt by the encoder.
Bytes assembleUntrimmed(const DisassembledProgram& program)
{
    EncodedProgram encoded;
    ByteSink assembled;
    if (EncodeProgram(program, &encoded) != STATUS_OK ||
        AssembleProgram(encoded, &assembled) != STATUS_OK) {
        ADD_FAILURE() << "could not assemble";
        return {};
    }
    return Bytes(assembled.data(), assembled.data() + assembled.length());
}

size_t countOf(const DisassembledProgram& program, InstructionKind kind)
{
    size_t n = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        n += program.instruction(i).kind() == kind;
    return n;
}

// The section offsets an image layout will get, so that contents can name their own addresses.
std::vector<uint64_t> offsetsOf(const ElfImageSpec& plan)
{
    return BuildElf(plan).offsets;
}

// ---------------------------------------------------------------------------------------------
// Header checks

struct HeaderRow {
    const char* name;
    uint16_t parser;
    Bytes image;
    std::string reason; // empty when accepted
};

BuiltElf small(bool is64, uint16_t machine)
{
    ElfImageSpec plan;
    plan.is64 = is64;
    plan.machine = machine;
    plan.sections = {{kProgBits, Bytes(16, 0x90)}};
    return BuildElf(plan);
}

std::vector<HeaderRow> headerRows()
{
    const Bytes x86 = small(false, kX86).bytes;
    const Bytes x64 = small(true, kX64).bytes;
    const BuiltElf built = small(false, kX86);
    const size_t n = x86.size();
    const size_t n64 = x64.size();
    return {
        {"accepted x86", kX86, x86, ""},
        {"accepted x86-64", kX64, x64, ""},
        {"accepted ARM", kArm, small(false, kArm).bytes, ""},
        {"executable type", kX86, put(x86, 16, 2, 2), ""},
        {"51 bytes", kX86, Bytes(x86.begin(), x86.begin() + 51), "Too small"},
        {"63 bytes of a 64-bit image", kX64, Bytes(x64.begin(), x64.begin() + 63), "Too small"},
        {"bad magic", kX86, put(x86, 3, 'G', 1), "No Magic Number"},
        {"relocatable object", kX86, put(x86, 16, 1, 2), "Not an executable file or shared library"},
        {"core file", kX64, put(x64, 16, 4, 2), "Not an executable file or shared library"},
        {"ARM image to the x86 parser", kX86, put(x86, 18, kArm, 2), "Not a supported architecture"},
        {"x86 image to the ARM parser", kArm, x86, "Not a supported architecture"},
        {"x86-64 image to the x86 parser", kX86, x64, "Not a supported architecture"},
        {"version 2", kX86, put(x86, 20, 2, 4), "Unknown file version"},
        {"section entry size 64 in a 32-bit image", kX86, put(x86, 46, 64, 2),
         "Unexpected section header size"},
        {"section entry size 40 in a 64-bit image", kX64, put(x64, 58, 40, 2),
         "Unexpected section header size"},
        {"section table at the end", kX86, put(x86, 32, n, 4),
         "Out of bounds section header table offset"},
        {"64-bit section table offset past 4 GiB", kX64, put(x64, 44, 1, 4),
         "Out of bounds section header table offset"},
        {"section table one entry too long", kX86, put(x86, 48, 4, 2),
         "Out of bounds section header table"},
        {"program table at the end", kX86, put(x86, 28, n, 4),
         "Out of bounds program header table offset"},
        {"64-bit program table offset past 4 GiB", kX64, put(x64, 36, 1, 4),
         "Out of bounds program header table offset"},
        {"program table past the end", kX86, put(x86, 44, (n - 52) / 32 + 1, 2),
         "Out of bounds program header table"},
        {"64-bit program table past the end", kX64, put(x64, 56, (n64 - 64) / 56 + 1, 2),
         "Out of bounds program header table"},
        {"string table index past the table", kX86, put(x86, 50, 3, 2),
         "Out of bounds string table index"},
        {"no sections at all", kX86, put(put(x86, 48, 0, 2), 50, 0, 2),
         "Out of bounds string table index"},
        {"section past the image still passes the header", kX86,
         put(x86, built.sectionHeader(0, false) + 20, 0x10000, 4), ""},
    };
}

TEST(ElfHeader, ChecksEveryFieldWithItsMessage)
{
    for (const HeaderRow& row : headerRows()) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Disassembler> parser = parserFor(row.parser, row.image);
        EXPECT_STREQ(parser->failureReason(), "uninitialized");
        EXPECT_EQ(parser->parseHeader(), row.reason.empty());
        EXPECT_EQ(parser->failureReason(), row.reason);
        DisassembledProgram program;
        if (!row.reason.empty()) {
            EXPECT_FALSE(parser->disassemble(&program));
        }
    }
}

TEST(ElfHeader, LengthShrinksToWhatTheTablesDescribe)
{
    BuiltElf built = small(false, kX86);
    const size_t described = built.bytes.size();
    Bytes image = built.bytes;
    image.resize(described + 100, 0xEE);
    DisassemblerElf32X86 parser(image.data(), image.size());
    ASSERT_TRUE(parser.parseHeader());
    EXPECT_EQ(parser.length(), described);

    // A segment reaching past the image keeps the image's own length.
    image = put(built.bytes, built.programTable + 16, described + 500, 4);
    DisassemblerElf32X86 longer(image.data(), image.size());
    ASSERT_TRUE(longer.parseHeader());
    EXPECT_EQ(longer.length(), image.size());
}

TEST(ElfDetection, FindsEachArchitectureInTheFixedOrder)
{
    struct Row {
        bool is64;
        uint16_t machine;
        ExecutableKind kind;
    };
    for (const Row& row : {Row{false, kX86, EXE_ELF_32_X86}, Row{true, kX64, ELF_64_X64},
                           Row{false, kArm, ELF_32_ARM}}) {
        Bytes image = small(row.is64, row.machine).bytes;
        const size_t described = image.size();
        image.resize(described + 7, 0);
        ExecutableKind kind = UNKNOWN;
        size_t length = 0;
        EXPECT_EQ(DetectExecutable(image.data(), image.size(), &kind, &length), STATUS_OK);
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(length, described);
    }
    // A 64-bit header naming the x86 machine goes to the 32-bit parser, whose tables it fails.
    Bytes odd = put(small(true, kX64).bytes, 18, kX86, 2);
    ExecutableKind kind = UNKNOWN;
    size_t length = 0;
    EXPECT_EQ(DetectExecutable(odd.data(), odd.size(), &kind, &length),
              STATUS_INPUT_NOT_RECOGNIZED);
}

// ---------------------------------------------------------------------------------------------
// Address mappings

TEST(ElfLayout, MapsAddressesThroughSegmentsAndSections)
{
    ElfLayout layout;
    // A note segment first: the first segment holding an RVA wins, whatever its type.
    layout.addSegment({4, 0x100, 0x1000, 0x10, 0x10});
    layout.addSegment({1, 0x0, 0x1000, 0x800, 0x1000}); // memory beyond its file bytes
    layout.addSegment({1, 0x800, 0x3000, 0x100, 0x100});
    layout.addSection({0, 0, 0, 0, 0});
    layout.addSection({8, 0x1800, 0x800, 0x200, 0}); // no bits: never maps offsets
    layout.addSection({1, 0x1000, 0x0, 0x800, 0});
    layout.addSection({9, 0x3000, 0x800, 0x80, 8});
    ASSERT_TRUE(layout.finish());

    struct RvaRow {
        uint32_t rva;
        bool mapped;
        uint64_t offset;
    };
    for (const RvaRow& row : {RvaRow{0x1000, true, 0x100}, RvaRow{0x100F, true, 0x10F},
                              RvaRow{0x1010, true, 0x10}, RvaRow{0x17FF, true, 0x7FF},
                              RvaRow{0x1800, false, 0}, RvaRow{0x3004, true, 0x804},
                              RvaRow{0x3100, false, 0}, RvaRow{0xFFF, false, 0}}) {
        uint64_t offset = 0;
        EXPECT_EQ(layout.rvaToFileOffset(row.rva, &offset), row.mapped) << std::hex << row.rva;
        if (row.mapped) {
            EXPECT_EQ(offset, row.offset) << std::hex << row.rva;
        }
    }
    uint32_t rva = 0;
    EXPECT_TRUE(layout.fileOffsetToRva(0x810, &rva));
    EXPECT_EQ(rva, 0x3010u); // the relocation section, not the no-bits one before it
    EXPECT_TRUE(layout.fileOffsetToRva(0x7FF, &rva));
    EXPECT_EQ(rva, 0x17FFu);
    EXPECT_FALSE(layout.fileOffsetToRva(0x880, &rva));

    // Targets: anywhere in a loadable segment's memory, file bytes or not.
    for (uint32_t target : {0x1000u, 0x1FFFu, 0x30FFu})
        EXPECT_TRUE(layout.isValidTarget(target)) << std::hex << target;
    for (uint32_t target : {0xFFFu, 0x2000u, 0x3100u})
        EXPECT_FALSE(layout.isValidTarget(target)) << std::hex << target;
    // Relocation places: mapped into a program-bits or relocation section.
    EXPECT_TRUE(layout.isValidRelocationPlace(0x1400));
    EXPECT_TRUE(layout.isValidRelocationPlace(0x3010));
    EXPECT_FALSE(layout.isValidRelocationPlace(0x1900)); // memory only
    EXPECT_FALSE(layout.isValidRelocationPlace(0x3090)); // past the relocation section
}

// ---------------------------------------------------------------------------------------------
// Relocations

// Code (8 bytes), data holding pointers (16 bytes) and the sections `more` makes from the data
// section's offset.
struct DataImage {
    Bytes image;
    std::vector<uint64_t> offsets;
};

DataImage dataImage(uint16_t machine,
                    const std::function<std::vector<ElfSectionSpec>(uint32_t data)>& more)
{
    ElfImageSpec plan;
    plan.machine = machine;
    plan.sections = {{kProgBits, Bytes(8, 0x90)}, {kProgBits, Bytes(16, 0)}};
    const uint32_t data = uint32_t(offsetsOf(plan)[1]);
    plan.sections[1].bytes = concat({le32(0x100), le32(0x7), le32(0x104), le32(0)});
    for (const ElfSectionSpec& section : more(data))
        plan.sections.push_back(section);
    const BuiltElf built = BuildElf(plan);
    return {built.bytes, built.offsets};
}

// One relocation section made of `entries`.
std::function<std::vector<ElfSectionSpec>(uint32_t)> relSection(
    const std::function<Bytes(uint32_t data)>& entries, uint64_t entrySize = 8)
{
    return [=](uint32_t data) { return std::vector<ElfSectionSpec>{{kRel, entries(data), entrySize}}; };
}

TEST(ElfRelocations, X86TableBecomesOneMarkerOnlyWhenItLeadsInOrder)
{
    const uint32_t kRelative = 8;
    struct Row {
        const char* name;
        std::function<Bytes(uint32_t)> entries;
        uint64_t entrySize;
        size_t markers;
        size_t abs32s;
    };
    const std::vector<Row> rows = {
        {"leading run then a jump slot",
         [&](uint32_t d) {
             return concat({relocation(d, kRelative), relocation(d + 8, kRelative),
                            relocation(d + 4, 0x107)});
         },
         8, 1, 2},
        {"one entry out of place",
         [&](uint32_t d) { return concat({relocation(d + 8, kRelative), relocation(d, kRelative)}); },
         8, 0, 2},
        {"another entry first",
         [&](uint32_t d) {
             return concat({relocation(d + 4, 0x107), relocation(d, kRelative),
                            relocation(d + 8, kRelative)});
         },
         8, 0, 2},
        {"no relative entries", [&](uint32_t d) { return relocation(d, 0x101); }, 8, 0, 0},
        {"place outside every section", [&](uint32_t) { return relocation(0x5000, kRelative); },
         8, 0, 0},
        {"entry size 0 is skipped", [&](uint32_t d) { return relocation(d, kRelative); }, 0, 0, 0},
        // Entries are still read 8 bytes apart, and never past the section.
        {"entry size 4",
         [&](uint32_t d) { return concat({relocation(d, kRelative), relocation(d + 8, kRelative)}); },
         4, 1, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DataImage built = dataImage(kX86, relSection(row.entries, row.entrySize));
        Disassembled result = disassemble(kX86, built.image);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(countOf(*result.program, INSTRUCTION_ELF_RELOCS), row.markers);
        EXPECT_EQ(countOf(*result.program, INSTRUCTION_ABS32), row.abs32s);
        EXPECT_EQ(reassemble(result.program.get()), built.image);
    }
}

TEST(ElfRelocations, ArmTableDropsEntriesMatchedBeforeAMismatch)
{
    const uint32_t kRelative = 23;
    struct Row {
        const char* name;
        std::function<std::vector<ElfSectionSpec>(uint32_t)> sections;
        size_t markers;
        size_t lead;    // leading entries that are not ours stay
        size_t missing; // bytes of the matched run up to the mismatch, left out
    };
    const std::vector<Row> rows = {
        {"all matched after another entry",
         relSection([&](uint32_t d) {
             return concat({relocation(d + 4, 0x116), relocation(d, kRelative),
                            relocation(d + 8, kRelative), relocation(d + 12, 0x116)});
         }),
         1, 0, 0},
        {"mismatch after one match",
         relSection([&](uint32_t d) {
             return concat({relocation(d, kRelative), relocation(d + 8, 0x116),
                            relocation(d + 8, kRelative)});
         }),
         0, 0, 16},
        // The second place lives in another section: the walk stops at the first one's end.
        {"run longer than the section",
         [&](uint32_t d) {
             return std::vector<ElfSectionSpec>{
                 {kRel, concat({relocation(0x5000, 1), relocation(d, kRelative)}), 8},
                 {kRel, relocation(d + 8, kRelative), 8}};
         },
         0, 8, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DataImage built = dataImage(kArm, row.sections);
        Disassembled result = disassemble(kArm, built.image);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(countOf(*result.program, INSTRUCTION_ELF_ARM_RELOCS), row.markers);
        EXPECT_EQ(countOf(*result.program, INSTRUCTION_ABS32), 2u);
        Bytes expected = built.image;
        const long from = long(built.offsets[2] + row.lead);
        expected.erase(expected.begin() + from, expected.begin() + from + long(row.missing));
        EXPECT_EQ(assembleUntrimmed(*result.program), expected);
    }
}

TEST(ElfRelocations, SectionTypesDecideWhatHappensToPlaces)
{
    struct Row {
        const char* name;
        uint32_t type; // of a section laid over the data section
        bool ok;
        size_t abs32s;
        std::string logged;
    };
    const std::vector<Row> rows = {
        {"init array", 14, true, 0, "Skipping relocation entry for unsupported section: 14"},
        {"fini array", 15, true, 0, "Skipping relocation entry for unsupported section: 15"},
        {"no bits", 8, true, 0, "Skipping relocation entry for unsupported section: 8"},
        {"dynamic", 6, true, 1, "Relocation address in unrecognized ELF section: 6"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ElfImageSpec plan;
        plan.sections = {{kProgBits, Bytes(4, 0x90)}, {row.type, Bytes(4)}, {kProgBits, Bytes(8)},
                         {kRel, Bytes(8), 8}};
        const std::vector<uint64_t> offsets = offsetsOf(plan);
        plan.sections[3].bytes = relocation(uint32_t(offsets[2]), 8);
        BuiltElf built = BuildElf(plan);
        // Lay the typed section over the data section, ahead of it in the table.
        ElfPutSection(&built.bytes, built.sectionHeader(1, false), false, row.type, offsets[2], 8, 0);
        CapturedLog log;
        Disassembled result = disassemble(kX86, built.bytes);
        EXPECT_EQ(result.ok, row.ok);
        EXPECT_EQ(countOf(*result.program, INSTRUCTION_ABS32), row.abs32s);
        const std::vector<std::string> debug = log.messages(LogLevel_DEBUG);
        EXPECT_NE(std::find(debug.begin(), debug.end(), row.logged), debug.end());
        if (result.ok) {
            EXPECT_EQ(reassemble(result.program.get()), built.bytes);
        }
    }
}

TEST(ElfRelocations, PlacesThatCannotBecomeReferencesFailTheDisassembly)
{
    struct Row {
        const char* name;
        std::function<std::vector<ElfSectionSpec>(uint32_t)> sections;
    };
    const std::vector<Row> rows = {
        {"place inside the relocation section itself",
         [](uint32_t d) {
             return std::vector<ElfSectionSpec>{{kRel, relocation(d + 16 + 0x0, 8), 8}};
         }},
        {"the same place twice",
         relSection([](uint32_t d) { return concat({relocation(d, 8), relocation(d, 8)}); })},
        {"place whose value crosses the section end",
         relSection([](uint32_t d) { return relocation(d + 14, 8); })},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DataImage built = dataImage(kX86, row.sections);
        Disassembled result = disassemble(kX86, built.image);
        EXPECT_FALSE(result.ok);
    }
}

TEST(ElfSections, OverlappingOrOutsideSectionsFailTheDisassemblyOnly)
{
    ElfImageSpec plan;
    plan.sections = {{kProgBits, Bytes(16, 0x90)}, {kProgBits, Bytes(16, 0x90)}};
    const BuiltElf built = BuildElf(plan);
    struct Row {
        const char* name;
        uint64_t offset;
        uint64_t size;
    };
    for (const Row& row : {Row{"second section starts inside the first", built.offsets[0] + 8, 16},
                           Row{"section past the image", built.offsets[1], 0x10000},
                           Row{"offset past the image", 0x10000, 0},
                           Row{"size wraps 64 bits", built.offsets[1], ~uint64_t(0)}}) {
        SCOPED_TRACE(row.name);
        Bytes image = built.bytes;
        ElfPutSection(&image, built.sectionHeader(1, false), false, kProgBits, row.offset,
                      row.size, 0);
        Disassembled result = disassemble(kX86, image);
        EXPECT_FALSE(result.ok);
    }
}

} // namespace
} // namespace deltapatch
