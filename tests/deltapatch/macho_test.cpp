// Tests of the Mach-O parser on synthetic images: header checks, address mappings, the rel32
// scanner and emission, and executable detection.
#include "deltapatch/disassembler_macho.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "capturedlog.h"
#include "deltapatch/executabledetection.h"
#include "machobuilder.h"
#include "machotesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Offsets = std::vector<uint32_t>;

constexpr uint64_t k4G = 0x100000000ull;
constexpr size_t kHeader32 = 28;
constexpr size_t kHeader64 = 32;
constexpr size_t kText64 = kHeader64 + 72; // after the __PAGEZERO command

MachoBytes small(bool is64)
{
    return BuildMacho(SmallMacho(is64, MachoBytes(16, 0x90)));
}

MachoBytes patched(MachoBytes image, size_t at, uint32_t value)
{
    MachoPut32(&image, at, value);
    return image;
}

MachoBytes truncated(MachoBytes image, size_t length)
{
    image.resize(length);
    return image;
}

MachoBytes changed(bool is64, const std::function<void(MachoImageSpec*, MachoSegmentSpec*)>& change)
{
    MachoImageSpec plan = SmallMacho(is64, MachoBytes(16, 0x90));
    change(&plan, &plan.segments[1]);
    return BuildMacho(plan);
}

struct HeaderRow {
    const char* name;
    MachoBytes image;
    std::string reason; // empty when the header is accepted
};

std::vector<HeaderRow> headerRows()
{
    using Plan = MachoImageSpec*;
    using Segment = MachoSegmentSpec*;
    return {
        {"31 bytes", truncated(small(true), 31), "Too small"},
        {"bare 64-bit header", patched(truncated(small(true), 32), 16, 0),
         "Resource-only executables are not yet supported"},
        {"big-endian 32-bit magic", patched(small(false), 0, 0xCEFAEDFE), "Unknown magic type"},
        {"big-endian 64-bit magic", patched(small(true), 0, 0xCFFAEDFE), "Unknown magic type"},
        {"universal magic", patched(small(true), 0, 0xBEBAFECA), "Unknown magic type"},
        {"arm64 cpu", patched(small(true), 4, 0x0100000C), "unsupported cpu type"},
        {"x86 cpu in a 64-bit header", patched(small(true), 4, 7), "unsupported cpu type"},
        {"x86-64 cpu in a 32-bit header", patched(small(false), 4, 0x01000007),
         "unsupported cpu type"},
        {"object file", patched(small(true), 12, 1), "Unsupported filetype in header"},
        {"core file", patched(small(false), 12, 4), "Unsupported filetype in header"},
        {"preload", patched(small(true), 12, 5), ""},
        {"dylib", patched(small(false), 12, 6), ""},
        {"bundle", patched(small(true), 12, 8), ""},
        {"command head past the end", patched(truncated(small(true), kText64 + 4), 16, 2),
         "file to small in load commands"},
        {"command body past the end", patched(small(true), kText64 + 4, 0x1000),
         "file to small in load commands"},
        {"command shorter than its head", patched(small(true), 16, 3),
         "file to small in load commands"},
        {"LC_SEGMENT in a 64-bit image",
         changed(true, [](Plan, Segment text) { text->commandBits = 32; }),
         "LC_SEGMENT not supported"},
        {"LC_SEGMENT_64 in a 32-bit image",
         changed(false, [](Plan, Segment text) { text->commandBits = 64; }),
         "LC_SEGMENT_64 not supported"},
        {"short LC_SEGMENT", patched(small(false), kHeader32 + 4, 55), "bad LC_SEGMENT"},
        {"short LC_SEGMENT_64", patched(small(true), kHeader64 + 4, 71), "bad LC_SEGMENT_64"},
        {"segment past the end", changed(true, [](Plan, Segment text) { text->fileSize++; }),
         "segment too large"},
        {"32-bit segment without sections past the end",
         changed(false, [](Plan plan, Segment) { plan->segments[0].fileSize = 0x1001; }),
         "segment too large"},
        {"64-bit segment without sections is not checked",
         changed(true, [](Plan plan, Segment) { plan->segments[0].fileSize = 0x10000; }), ""},
        {"section count beyond the command",
         changed(false, [](Plan, Segment text) { text->sectionCount = 2; }),
         "sections too small"},
        {"64-bit section count beyond the command",
         changed(true, [](Plan, Segment text) { text->sectionCount = 2; }), "sections too small"},
        {"section below its segment",
         changed(true, [](Plan, Segment text) { text->sections[0].address = k4G - 1; }),
         "section larger than segment"},
        {"section past its segment",
         changed(false, [](Plan, Segment text) { text->sections[0].size = 0xC01; }),
         "section larger than segment"},
        {"section filling its segment",
         changed(true,
                 [](Plan, Segment text) {
                     text->sections[0] = {k4G, 0x1000, 0};
                 }),
         ""},
        {"code bytes past the end of the file",
         changed(true, [](Plan, Segment text) { text->sections[0].fileOffset = 0xFF8; }),
         "section too large"},
        {"data section outside the file is not read",
         changed(true,
                 [](Plan, Segment text) {
                     text->sections.push_back({k4G + 0x800, 0x10, 0xFFFFFF00, 0, "__const"});
                 }),
         ""},
        {"only data sections",
         changed(true, [](Plan, Segment text) { text->sections[0].flags = 0; }),
         "Resource-only executables are not yet supported"},
        {"code flags with a section type",
         changed(false, [](Plan, Segment text) { text->sections[0].flags = 0x80000008; }),
         "Resource-only executables are not yet supported"},
        {"virtual size of 4 GiB",
         changed(true, [](Plan, Segment text) { text->virtualSize = k4G; }), "overflow"},
        {"file offset of 4 GiB",
         changed(true, [](Plan, Segment text) { text->fileOffset = k4G; }), "overflow"},
        {"section size of 4 GiB",
         changed(true, [](Plan, Segment text) { text->sections[0].size = k4G; }), "overflow"},
        {"segments 4 GiB apart",
         changed(true,
                 [](Plan plan, Segment) {
                     MachoSegmentSpec data{"__DATA", 2 * k4G, 0x1000, 0x800, 0x10, {}};
                     data.sections.push_back({2 * k4G, 0x10, 0x800, 0, "__data"});
                     plan->segments.push_back(data);
                 }),
         "overflow"},
        {"32-bit segment reaching 4 GiB",
         changed(false,
                 [](Plan, Segment text) {
                     text->address = 0xFFFFF000;
                     text->sections[0].address = 0xFFFFF400;
                 }),
         "overflow"},
    };
}

TEST(MachoHeader, ChecksEveryRuleWithItsOwnMessage)
{
    for (const HeaderRow& row : headerRows()) {
        SCOPED_TRACE(row.name);
        DisassemblerMacho parser(row.image.data(), row.image.size());
        EXPECT_EQ(parser.parseHeader(), row.reason.empty());
        EXPECT_EQ(parser.failureReason(), row.reason);
        DisassembledProgram program;
        EXPECT_EQ(parser.disassemble(&program), row.reason.empty());
    }
}

TEST(MachoHeader, StartsUninitialisedAndCutsTheLengthAtTheLastSegment)
{
    MachoImageSpec plan = SmallMacho(true, MachoBytes(16, 0x90));
    plan.content.push_back({0x17FF, {0xAB}}); // bytes behind the last segment, e.g. a signature
    const MachoBytes image = BuildMacho(plan);
    DisassemblerMacho parser(image.data(), image.size());
    EXPECT_STREQ(parser.failureReason(), "uninitialized");
    EXPECT_EQ(parser.kind(), UNKNOWN);
    DisassembledProgram program;
    EXPECT_FALSE(parser.disassemble(&program));
    EXPECT_EQ(program.instructionCount(), 0u);

    ASSERT_TRUE(parser.parseHeader());
    EXPECT_STREQ(parser.failureReason(), "");
    EXPECT_EQ(parser.kind(), MACHO_X64);
    EXPECT_EQ(parser.length(), 0x1000u);
    EXPECT_EQ(parser.end(), image.data() + 0x1800);
    EXPECT_EQ(parser.fileOffsetToPointer(0x1800), image.data() + 0x1800);
    EXPECT_EQ(parser.fileOffsetToPointer(0x1801), nullptr);
    ASSERT_TRUE(parser.disassemble(&program));
    EXPECT_EQ(program.imageBase(), 0u);
    EXPECT_EQ(reassemble(&program), MachoBytes(image.begin(), image.begin() + 0x1000));
}

// __TEXT as SmallMacho lays it out, plus __DATA whose memory is larger than its file bytes.
MachoBytes withData(bool is64)
{
    MachoImageSpec plan = SmallMacho(is64, MachoBytes(16, 0x90));
    const uint64_t base = plan.segments[1].address;
    MachoSegmentSpec data{"__DATA", base + 0x1000, 0x2000, 0x1000, 0x800, {}};
    data.sections.push_back({base + 0x1000, 0x800, 0x1000, 0, "__data"});
    plan.segments.push_back(data);
    plan.length = 0x1800;
    return BuildMacho(plan);
}

TEST(MachoMapping, TranslatesBetweenFileOffsetsAndRvas)
{
    const struct {
        bool is64;
        uint32_t offset;
        uint32_t rva; // of the offset; 0 when no segment holds it
    } toRva[] = {
        {true, 0, 0}, {true, 0x400, 0x400}, {true, 0x17FF, 0x17FF}, {true, 0x1800, 0},
        {false, 0x400, 0x1400}, {false, 0x1100, 0x2100},
    };
    const struct {
        bool is64;
        uint32_t rva;
        int64_t offset;
        bool warned;
    } toOffset[] = {
        {true, 0x400, 0x400, false},
        {true, 0x1100, 0x1100, false},
        {true, 0x1800, -1, false}, // in __DATA's memory, past its file bytes
        {true, 0x3000, -1, true},  // in no segment
        {false, 0x500, -1, false}, // __PAGEZERO is a segment of 32-bit images
        {false, 0x1400, 0x400, false},
        {false, 0x4000, -1, true},
    };
    for (bool is64 : {true, false}) {
        const MachoBytes image = withData(is64);
        DisassemblerMacho parser(image.data(), image.size());
        ASSERT_TRUE(parser.parseHeader());
        for (const auto& row : toRva) {
            if (row.is64 == is64) {
                EXPECT_EQ(parser.fileOffsetToRva(row.offset), row.rva) << std::hex << row.offset;
            }
        }
        for (const auto& row : toOffset) {
            if (row.is64 != is64)
                continue;
            SCOPED_TRACE(row.rva);
            CapturedLog log;
            EXPECT_EQ(parser.rvaToFileOffset(row.rva), row.offset);
            EXPECT_EQ(parser.rvaToPointer(row.rva),
                      row.offset < 0 ? nullptr : image.data() + row.offset);
            const std::vector<std::string> expected(row.warned ? 2 : 0,
                                                    "RVAToFileOffset reached invalid point");
            EXPECT_EQ(log.messages(LogLevel_WARNING), expected);
        }
    }
}

struct ScanRow {
    const char* name;
    MachoBytes code;
    Offsets fields64; // displacement fields taken, as offsets into the code
    Offsets fields32;
};

// Code sits at RVA 0x400 of a one-page __TEXT in 64-bit images (rebased past __PAGEZERO) and at
// RVA 0x1400 in 32-bit images, whose __PAGEZERO at 0 counts as a segment.
const ScanRow kScanRows[] = {
    {"call", {0xE8, 0x00, 0x01, 0x00, 0x00, 0x90}, {1}, {1}},
    {"jmp", {0xE9, 0x00, 0x01, 0x00, 0x00}, {1}, {1}},
    {"call beside every segment, scanning resumes inside it",
     {0xE8, 0xE8, 0x10, 0x00, 0x00, 0x00, 0x90}, {2}, {2}},
    {"call into __PAGEZERO", {0xE8, 0x00, 0xF0, 0xFF, 0xFF}, {}, {1}},
    {"two calls", {0xE8, 0, 0, 0, 0, 0xE8, 0, 0, 0, 0}, {1, 6}, {1, 6}},
    {"call with four bytes left", {0x90, 0xE8, 0x00, 0x00, 0x00}, {}, {}},
    {"je", {0x0F, 0x84, 0x10, 0x00, 0x00, 0x00}, {2}, {2}},
    {"jno", {0x0F, 0x81, 0x10, 0x00, 0x00, 0x00}, {2}, {2}},
    {"jp", {0x0F, 0x8A, 0x10, 0x00, 0x00, 0x00}, {}, {}},
    {"jnp", {0x0F, 0x8B, 0x10, 0x00, 0x00, 0x00}, {}, {}},
    {"call through rip", {0xFF, 0x15, 0x10, 0x00, 0x00, 0x00}, {2}, {}},
    {"jmp through rip", {0xFF, 0x25, 0x10, 0x00, 0x00, 0x00}, {2}, {}},
    {"lea rip", {0x48, 0x8D, 0x05, 0x10, 0x00, 0x00, 0x00}, {3}, {}},
    {"mov rip with REX.WB", {0x49, 0x8B, 0x0D, 0x10, 0x00, 0x00, 0x00}, {3}, {}},
    {"lea into r8 (REX.WR)", {0x4C, 0x8D, 0x05, 0x10, 0x00, 0x00, 0x00}, {}, {}},
    {"lea from a register", {0x48, 0x8D, 0x04, 0x10, 0x00, 0x00, 0x00}, {}, {}},
};

TEST(MachoScan, TakesTheDisplacementsOfBranchesAndRipOperands)
{
    for (const ScanRow& row : kScanRows) {
        for (bool is64 : {true, false}) {
            SCOPED_TRACE(std::string(row.name) + (is64 ? ", 64-bit" : ", 32-bit"));
            const MachoBytes image = BuildMacho(SmallMacho(is64, row.code));
            DisassemblerMacho parser(image.data(), image.size());
            ASSERT_TRUE(parser.parseHeader());
            DisassembledProgram program(parser.kind());
            ASSERT_TRUE(parser.disassemble(&program));
            const uint32_t code = is64 ? 0x400 : 0x1400;
            std::vector<FoundRel32> expected;
            for (uint32_t field : is64 ? row.fields64 : row.fields32) {
                uint32_t value = 0;
                for (int i = 3; i >= 0; --i)
                    value = value << 8 | row.code[field + i];
                expected.push_back({code + field, code + field + 4 + value});
            }
            EXPECT_EQ(rel32sOf(program), expected);
            EXPECT_EQ(reassemble(&program), image);
        }
    }
}

TEST(MachoScan, EmitsSectionsInFileOrderWithTheirRvas)
{
    // Two code sections listed against file order, the second one overlapping the first: each
    // byte is emitted once, the origin of each section taken from its file offset.
    MachoImageSpec plan = SmallMacho(true, {0xE8, 0x00, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90});
    plan.segments[1].sections.insert(plan.segments[1].sections.begin(),
                                     {k4G + 0x600, 5, 0x600});
    plan.segments[1].sections.push_back({k4G + 0x404, 8, 0x404});
    plan.content.push_back({0x600, {0xE9, 0x00, 0x00, 0x00, 0x00}});
    const MachoBytes image = BuildMacho(plan);
    DisassemblerMacho parser(image.data(), image.size());
    ASSERT_TRUE(parser.parseHeader());
    DisassembledProgram program(parser.kind());
    ASSERT_TRUE(parser.disassemble(&program));
    Offsets origins;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        if (program.instruction(i).kind() == INSTRUCTION_ORIGIN)
            origins.push_back(program.instruction(i).value);
    }
    EXPECT_EQ(origins, (Offsets{0x400, 0x600}));
    EXPECT_EQ(rel32sOf(program), (std::vector<FoundRel32>{{0x401, 0x405}, {0x601, 0x605}}));
    EXPECT_EQ(reassemble(&program), image);
}

TEST(MachoDetection, ReportsKindAndLengthOrNotRecognised)
{
    MachoImageSpec longer = SmallMacho(false, MachoBytes(16, 0x90));
    longer.length = 0x1234;
    const struct {
        const char* name;
        MachoBytes image;
        PatchStatus status;
        ExecutableKind kind;
        size_t length;
    } rows[] = {
        {"x86-64", small(true), STATUS_OK, MACHO_X64, 0x1000},
        {"x86 with trailing bytes", BuildMacho(longer), STATUS_OK, MACHO_X86, 0x1000},
        {"empty", {}, STATUS_INPUT_NOT_RECOGNIZED, UNKNOWN, 0},
        {"damaged", patched(small(true), 12, 1), STATUS_INPUT_NOT_RECOGNIZED, UNKNOWN, 0},
        {"text", MachoBytes(100, 'a'), STATUS_INPUT_NOT_RECOGNIZED, UNKNOWN, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ExecutableKind kind = WIN_32_X86;
        size_t length = 1;
        EXPECT_EQ(DetectExecutable(row.image.data(), row.image.size(), &kind, &length),
                  row.status);
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(length, row.length);

        std::unique_ptr<DisassembledProgram> program;
        EXPECT_EQ(ParseExecutable(row.image.data(), row.image.size(), &program), row.status);
        ASSERT_EQ(program != nullptr, row.status == STATUS_OK);
        if (program) {
            EXPECT_EQ(program->kind(), row.kind);
            EXPECT_EQ(reassemble(program.get()),
                      MachoBytes(row.image.begin(), row.image.begin() + long(row.length)));
        }
    }
}

// Every 32-bit word of a small image's headers and code, set to values that break sizes,
// offsets and addresses: the parser either rejects the image or emits a prefix of it.
TEST(MachoDamage, AnyDamagedWordIsRejectedOrEmittedFaithfully)
{
    const MachoBytes code = {0xE8, 0x00, 0x01, 0x00, 0x00, 0x0F, 0x84, 0x10, 0x00, 0x00, 0x00,
                             0x48, 0x8D, 0x05, 0x20, 0x00, 0x00, 0x00};
    for (bool is64 : {true, false}) {
        const MachoBytes original = BuildMacho(SmallMacho(is64, code));
        const size_t commandsEnd = is64 ? 0x100 : 0xD0;
        for (size_t at = 0; at < commandsEnd; at += 4) {
            for (uint32_t value : {0u, 0xFFFFFFFFu, 0x80000000u, 0x1001u, 0xFFFu}) {
                SCOPED_TRACE(::testing::Message() << (is64 ? "64" : "32") << " at " << at
                                                << " value " << value);
                const MachoBytes image = patched(original, at, value);
                DisassemblerMacho parser(image.data(), image.size());
                if (!parser.parseHeader())
                    continue;
                ASSERT_LE(parser.length(), image.size());
                DisassembledProgram program(parser.kind());
                ASSERT_TRUE(parser.disassemble(&program));
                const MachoBytes assembled = reassemble(&program);
                ASSERT_GE(assembled.size(), parser.length());
                ASSERT_LE(assembled.size(), image.size());
                EXPECT_TRUE(std::equal(assembled.begin(), assembled.end(), image.begin()));
            }
        }
    }
}

// Small images for the fuzz target's seed corpus; set OV3_MACHO_SEED_DIR to write them afresh.
// The corpus also holds one linked dylib (libfixture_v1.dylib), copied from the fixtures.
std::vector<std::pair<std::string, MachoBytes>> seedImages()
{
    MachoBytes code;
    for (const ScanRow& row : kScanRows)
        code.insert(code.end(), row.code.begin(), row.code.end());
    MachoImageSpec dylib = SmallMacho(true, MachoBytes(kScanRows[0].code), 0x1C0, 0x200);
    dylib.fileType = 6;
    dylib.length = 0x220;
    MachoSegmentSpec data{"__DATA", k4G + 0x1000, 0x1000, 0x200, 0x20, {}};
    data.sections.push_back({k4G + 0x1000, 0x20, 0x200, 0, "__data"});
    dylib.segments.push_back(data);
    MachoImageSpec unsorted = SmallMacho(false, code, 0x100, 0x180);
    unsorted.segments[1].sections.insert(unsorted.segments[1].sections.begin(),
                                         {0x1000 + 0x140, 0x20, 0x140});
    return {
        {"x64_branches", BuildMacho(SmallMacho(true, code, 0x100, 0x180))},
        {"x86_branches", BuildMacho(SmallMacho(false, code, 0x100, 0x180))},
        {"x64_dylib_with_data", BuildMacho(dylib)},
        {"x86_unsorted_sections", BuildMacho(unsorted)},
    };
}

TEST(MachoSeeds, CommittedSeedsMatchTheGeneratorAndParse)
{
    const char* rewrite = std::getenv("OV3_MACHO_SEED_DIR");
    const std::string directory = std::string(OV3_SOURCE_DIR) + "/tests/fuzz/corpus/macho/";
    for (const auto& seed : seedImages()) {
        SCOPED_TRACE(seed.first);
        if (rewrite != nullptr) {
            std::ofstream(std::string(rewrite) + "/" + seed.first, std::ios::binary)
                .write(reinterpret_cast<const char*>(seed.second.data()),
                       std::streamsize(seed.second.size()));
        }
        std::ifstream in(directory + seed.first, std::ios::binary);
        EXPECT_TRUE(MachoBytes(std::istreambuf_iterator<char>(in), {}) == seed.second);
        DisassemblerMacho parser(seed.second.data(), seed.second.size());
        EXPECT_TRUE(parser.parseHeader()) << parser.failureReason();
    }
}

} // namespace
} // namespace deltapatch
