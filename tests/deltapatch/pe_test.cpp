// Tests of the PE parsers on synthetic images: header checks, address mappings, base
// relocations, the branch scanners, emission and executable detection.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capturedlog.h"
#include "deltapatch/disassembler_win32_x64.h"
#include "deltapatch/disassembler_win32_x86.h"
#include "deltapatch/executabledetection.h"
#include "machotesthelpers.h"
#include "pebuilder.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;
using Places = std::vector<uint32_t>;

PeBytes changed(bool is64, const std::function<void(PeImageSpec*)>& change)
{
    PeImageSpec plan = SmallPe(is64, PeBytes(16, 0x90));
    change(&plan);
    return BuildPe(plan);
}

PeBytes patched(PeBytes image, size_t at, uint64_t value, int bytes)
{
    PePut(&image, at, value, bytes);
    return image;
}

PeBytes truncated(PeBytes image, size_t length)
{
    image.resize(length);
    return image;
}

Places placesOf(const GrowableArray<uint32_t>& places)
{
    return Places(places.data(), places.data() + places.size());
}

struct HeaderRow {
    const char* name;
    PeBytes image;
    std::string reason32; // DisassemblerWin32X86's verdict; empty when accepted
    std::string reason64; // DisassemblerWin32X64's
};

constexpr size_t kPe = 0x40;
constexpr size_t kOptional = kPe + 24;

std::vector<HeaderRow> headerRows()
{
    const PeBytes pe32 = BuildPe(SmallPe(false, PeBytes(16, 0x90)));
    const PeBytes pe64 = BuildPe(SmallPe(true, PeBytes(16, 0x90)));
    const std::string only32 = "64 bit executables are not supported by this disassembler";
    const std::string only64 = "32 bit executables are not supported by this disassembler";
    auto both = [](const char* name, PeBytes image, const std::string& reason) {
        return HeaderRow{name, std::move(image), reason, reason};
    };
    return {
        {"PE32", pe32, "", only64},
        {"PE32+", pe64, only32, ""},
        both("63 bytes", truncated(pe32, 63), "Too small"),
        both("ZM", patched(pe32, 0, 'Z', 1), "Not MZ"),
        both("PE offset 0", patched(pe32, 60, 0, 4), "Bad offset to PE header"),
        both("PE offset past the end", patched(pe32, 60, 0x800, 4), "Bad offset to PE header"),
        both("24 bytes left", patched(pe32, 60, 0x800 - 24, 4), "Bad offset to PE header"),
        both("PE offset 60", patched(pe32, 60, 60, 4), "Misaligned PE header"),
        both("PE offset 0x44", patched(pe32, 60, 0x44, 4), "Misaligned PE header"),
        both("no signature", patched(pe32, kPe, 0x4551, 4), "no PE signature"),
        both("optional header to the end", patched(pe32, kPe + 20, 0x800 - kOptional, 2),
             "optional header past end of file"),
        both("optional header of 1 byte", patched(pe32, kPe + 20, 1, 2),
             "optional header no magic"),
        both("ROM magic", patched(pe32, kOptional, 0x107, 2), "unrecognized magic"),
        both("PE32 of 95 bytes", patched(pe32, kPe + 20, 95, 2), "optional header too short"),
        both("PE32+ of 111 bytes", patched(pe64, kPe + 20, 111, 2),
             "optional header too short"),
        {"PE32 of 96 bytes", changed(false, [](PeImageSpec* s) {
             s->optionalHeaderSize = 96;
             s->numberOfDirectories = 0;
         }), "", only64},
        both("directories past the header",
             changed(false, [](PeImageSpec* s) { s->optionalHeaderSize = 96 + 8 * 5; }),
             "malformed data directory"),
        both("a directory across the header's end",
             changed(true, [](PeImageSpec* s) { s->optionalHeaderSize = 112 + 8 * 5 + 4; }),
             "malformed data directory"),
        {"few directories declared", changed(false, [](PeImageSpec* s) {
             s->optionalHeaderSize = 96 + 8 * 5;
             s->numberOfDirectories = 5;
         }), "", only64},
        both("relocations larger than the image", changed(false, [](PeImageSpec* s) {
                 s->relocationRva = 0x2000;
                 s->relocationSize = 0x4001;
             }),
             "malformed data directory"),
        both("section table past the end",
             truncated(changed(false, [](PeImageSpec* s) { s->sections.resize(60); }), 0x800),
             "section table outside image"),
        both("section data past the end", changed(false, [](PeImageSpec* s) {
                 s->sections[2].rawSize = 0x201;
             }),
             "section outside image"),
        both("section data at 4 GiB", changed(false, [](PeImageSpec* s) {
                 s->sections[2].rawPointer = 0xFFFFFF00;
             }),
             "section outside image"),
        {"no .text", changed(false, [](PeImageSpec* s) { s->sections[0].name = ".text2"; }),
         "Resource-only executables are not yet supported", only64},
        {"empty .bss far away", changed(false, [](PeImageSpec* s) {
             s->sections.push_back({".bss", 0x4000, 0x100, 0xFFFFFFF0, 0});
         }), "", only64},
    };
}

template <typename Parser> void checkHeader(const HeaderRow& row, const std::string& reason)
{
    Parser parser(row.image.data(), row.image.size());
    EXPECT_EQ(parser.parseHeader(), reason.empty());
    EXPECT_EQ(parser.failureReason(), reason);
    DisassembledProgram program(parser.kind());
    EXPECT_EQ(parser.disassemble(&program), reason.empty());
}

TEST(PeHeader, ChecksEveryRuleWithItsOwnMessage)
{
    for (const HeaderRow& row : headerRows()) {
        SCOPED_TRACE(row.name);
        checkHeader<DisassemblerWin32X86>(row, row.reason32);
        checkHeader<DisassemblerWin32X64>(row, row.reason64);
    }
}

TEST(PeHeader, StartsUninitialisedAndCutsTheLengthAtTheLastSection)
{
    PeImageSpec plan = SmallPe(true, PeBytes(16, 0x90));
    plan.imageBase = 0x180000000ull;
    plan.content.push_back({0x9FF, {0xAB}}); // an attached certificate, say
    const PeBytes image = BuildPe(plan);
    DisassemblerWin32X64 parser(image.data(), image.size());
    EXPECT_STREQ(parser.failureReason(), "uninitialized");
    EXPECT_EQ(parser.kind(), WIN_32_X64);
    DisassembledProgram program(WIN_32_X64);
    EXPECT_FALSE(parser.disassemble(&program));
    EXPECT_EQ(program.instructionCount(), 0u);

    ASSERT_TRUE(parser.parseHeader());
    EXPECT_STREQ(parser.failureReason(), "");
    EXPECT_EQ(parser.length(), 0x800u);
    EXPECT_EQ(parser.image().imageBase(), 0x180000000ull);
    ASSERT_TRUE(parser.disassemble(&program));
    EXPECT_EQ(program.imageBase(), 0x180000000ull);
    EXPECT_EQ(reassemble(&program), PeBytes(image.begin(), image.begin() + 0x800));
}

TEST(PeMapping, TranslatesBetweenFileOffsetsAndRvas)
{
    // .data's memory is larger than its raw data; .bss has none.
    PeImageSpec plan = SmallPe(false, PeBytes(16, 0x90));
    plan.sections[2].virtualSize = 0x400;
    plan.sections.push_back({".bss", 0x4000, 0x100, 0, 0});
    const PeBytes image = BuildPe(plan);
    DisassemblerWin32X86 parser(image.data(), image.size());
    ASSERT_TRUE(parser.parseHeader());
    const DisassemblerWin32& pe = parser.image();
    const struct {
        uint32_t rva;
        int64_t offset;
        bool logged;
    } toOffset[] = {
        {0x1000, 0x200, false}, {0x11FF, 0x3FF, false}, {0x2010, 0x410, false},
        {0x31FF, 0x7FF, false}, {0x3200, -1, false},    {0x4000, -1, false},
        {0, 0, false},          {2, 2, false},          {1, -1, true},
        {0x5000, -1, true},
    };
    for (const auto& row : toOffset) {
        SCOPED_TRACE(row.rva);
        CapturedLog log;
        EXPECT_EQ(pe.rvaToFileOffset(row.rva), row.offset);
        EXPECT_EQ(log.messages(LogLevel_ERROR),
                  row.logged ? std::vector<std::string>{"REACHED UNREACHABLE"}
                             : std::vector<std::string>{});
    }
    const struct {
        size_t offset;
        uint32_t rva;
        int64_t next;
    } toRva[] = {
        {0, 0, 0}, {0x1FF, 0, 0}, {0x200, 0x1000, 0}, {0x201, 0x1001, 1},
        {0x5FF, 0x21FF, 2}, {0x600, 0x3000, 2}, {0x7FF, 0x31FF, -1}, {0x800, 0, -1},
    };
    for (const auto& row : toRva) {
        SCOPED_TRACE(row.offset);
        EXPECT_EQ(pe.fileOffsetToRva(row.offset), row.rva);
        EXPECT_EQ(pe.nextSectionAt(row.offset), row.next);
    }
}

struct RelocationRow {
    const char* name;
    bool is64;
    PeBytes table;
    Places places;
    std::string reason;
    uint32_t directorySize = 0; // 0: the table's size
};

std::vector<RelocationRow> relocationRows()
{
    auto concat = [](PeBytes a, const PeBytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const PeBytes twoPages = concat(PeRelocationBlock(0x3000, {0x3010, 0x3004, 0x0000}),
                                    PeRelocationBlock(0x1000, {0x3100}));
    return {
        {"two blocks, padding skipped, sorted", false, twoPages, {0x1100, 0x3004, 0x3010}, ""},
        {"DIR64 entries", true, PeRelocationBlock(0x3000, {0xA008, 0xA000}), {0x3000, 0x3008},
         ""},
        {"only 8 bytes", false, PeRelocationBlock(0x3000, {}), {}, ""},
        // The trailing block is damaged but never read.
        {"the walk ends with 8 bytes left", false,
         concat(PeRelocationBlock(0x3000, {0x3004}),
                patched(PeRelocationBlock(0x3000, {}), 4, 6, 4)),
         {0x3004}, ""},
        {"block size 6", false, patched(PeRelocationBlock(0x3000, {0x3004}), 4, 6, 4), {},
         "unreasonable relocs block"},
        {"block size 14", false, patched(PeRelocationBlock(0x3000, {0x3004}), 4, 14, 4), {},
         "unreasonable relocs block"},
        {"DIR64 in PE32", false, PeRelocationBlock(0x3000, {0xA004}), {}, "unknown type of reloc"},
        {"HIGHLOW in PE32+", true, PeRelocationBlock(0x3000, {0x3004}), {},
         "unknown type of reloc"},
        {"block past the image", false, patched(PeRelocationBlock(0x3000, {0x3004}), 4, 0x404, 4),
         {}, ".relocs block outside image"},
        {"table past the image", false, PeRelocationBlock(0x3000, {0x3004}), {},
         ".relocs outside image", 0x401},
    };
}

TEST(PeRelocations, ReadsTheBaseRelocationTableIntoAbs32Places)
{
    for (const RelocationRow& row : relocationRows()) {
        SCOPED_TRACE(row.name);
        PeImageSpec plan = SmallPe(row.is64, PeBytes(16, 0x90), row.table);
        if (row.directorySize != 0)
            plan.relocationSize = row.directorySize;
        const PeBytes image = BuildPe(plan);
        DisassemblerWin32 pe(image.data(), image.size(), row.is64);
        ASSERT_EQ(pe.parseHeader(), nullptr);
        const char* reason = pe.findAbs32Places();
        EXPECT_EQ(std::string(reason ? reason : ""), row.reason);
        if (row.reason.empty()) {
            EXPECT_EQ(placesOf(pe.abs32Places()), row.places);
        }
    }
}

TEST(PeRelocations, ATableOutsideEverySectionFailsTheDisassembly)
{
    PeImageSpec plan = SmallPe(false, PeBytes(16, 0x90), PeRelocationBlock(0x3000, {0x3004}));
    plan.relocationRva = 0x5000;
    const PeBytes image = BuildPe(plan);
    DisassemblerWin32X86 parser(image.data(), image.size());
    ASSERT_TRUE(parser.parseHeader());
    DisassembledProgram program(WIN_32_X86);
    CapturedLog log;
    EXPECT_FALSE(parser.disassemble(&program));
    EXPECT_STREQ(parser.failureReason(), ".relocs outside image");
    std::unique_ptr<DisassembledProgram> parsed;
    EXPECT_EQ(ParseExecutable(image.data(), image.size(), &parsed), STATUS_DISASSEMBLY_FAILED);
}

struct ScanRow {
    const char* name;
    PeBytes code;      // at RVA 0x1000 in .text
    Places expected32; // rel32 places found by DisassemblerWin32X86
    Places expected64; // and by DisassemblerWin32X64
    Places abs32 = {}; // relocation places inside .text
};

std::vector<ScanRow> scanRows()
{
    // A displacement reaching RVA 0x1100 from a field at 0x1000 + at.
    auto to1100 = [](size_t at) { return uint32_t(0x1100 - (0x1000 + at + 4)); };
    auto code = [](std::vector<uint8_t> prefix, uint32_t displacement) {
        PePut(&prefix, prefix.size(), displacement, 4);
        return prefix;
    };
    return {
        {"call", code({0xE8}, to1100(1)), {0x1001}, {0x1001}},
        {"jmp", code({0x90, 0xE9}, to1100(2)), {0x1002}, {0x1002}},
        {"je", code({0x0F, 0x84}, to1100(2)), {0x1002}, {0x1002}},
        {"jp and jnp", code({0x0F, 0x8A, 0x0F, 0x8B}, to1100(4)), {}, {}},
        {"call through rip", code({0xFF, 0x15}, to1100(2)), {}, {0x1002}},
        {"lea rip", code({0x48, 0x8D, 0x05}, to1100(3)), {}, {0x1003}},
        {"mov r8 rip", code({0x49, 0x8B, 0x05}, to1100(3)), {}, {0x1003}},
        {"lea with a register operand", code({0x48, 0x8D, 0x45}, to1100(3)), {}, {}},
        {"call to .data", code({0xE8}, 0x3000 - 0x1005), {}, {}},
        {"call past the section's memory", code({0xE8}, 0x1200 - 0x1005), {}, {}},
        {"call backwards out of .text", code({0xE8}, uint32_t(-6)), {}, {}},
        // The target of E8 00 E8 … is rejected, so scanning resumes inside its field.
        {"resumes inside a rejected field", code({0xE8, 0x00, 0xE8}, to1100(3)), {0x1003},
         {0x1003}},
        {"overlapping a relocation place", code({0x90, 0xE8}, to1100(2)), {}, {}, {0x1004}},
        {"relocation place three bytes before", code({0x90, 0x90, 0x90, 0x90, 0xE8}, to1100(5)),
         {}, {}, {0x1002}},
        {"relocation place four bytes before", code({0x90, 0x90, 0x90, 0x90, 0xE8}, to1100(5)),
         {0x1005}, {0x1005}, {0x1001}},
        {"too short at the section's end", {}, {}, {}},
    };
}

PeBytes relocationsFor(const Places& places, bool is64)
{
    std::vector<uint16_t> entries;
    for (uint32_t place : places)
        entries.push_back(uint16_t((is64 ? 0xA000 : 0x3000) | (place & 0xFFF)));
    return places.empty() ? PeBytes() : PeRelocationBlock(0x1000, entries);
}

template <typename Parser>
void checkScan(const ScanRow& row, bool is64, const Places& expected)
{
    PeBytes code = row.code;
    if (code.empty()) { // E8 in the last four bytes of .text
        code.assign(0x1FC, 0x90);
        code.push_back(0xE8);
    }
    const PeBytes image = BuildPe(SmallPe(is64, code, relocationsFor(row.abs32, is64)));
    Parser parser(image.data(), image.size());
    ASSERT_TRUE(parser.parseHeader());
    DisassembledProgram program(parser.kind());
    ASSERT_TRUE(parser.disassemble(&program));
    EXPECT_EQ(placesOf(parser.image().rel32Places()), expected);
    Places targets;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        if (program.instruction(i).kind() == INSTRUCTION_REL32)
            targets.push_back(program.instruction(i).label->rva);
    }
    EXPECT_EQ(targets, Places(expected.size(), 0x1100));
}

TEST(PeScan, TakesTheBranchesThatStayInsideText)
{
    for (const ScanRow& row : scanRows()) {
        SCOPED_TRACE(row.name);
        checkScan<DisassemblerWin32X86>(row, false, row.expected32);
        checkScan<DisassemblerWin32X64>(row, true, row.expected64);
    }
}

TEST(PeScan, SkipsTheRelocationTableAndScansOnlyText)
{
    // .text holds the relocation directory at 0x1010: one block and 8 bytes that look like a
    // call into .text. A real call follows it; a call-like pattern in .data is not scanned.
    PeBytes code(0x10, 0x90);
    PeBytes table = PeRelocationBlock(0x3000, {0x3000});
    PePut(&table, table.size(), 0xE8, 1);
    PePut(&table, table.size(), 0x1100 - (0x1000 + 0x10 + table.size() + 4), 4);
    PePut(&table, table.size(), 0, 3);
    code.insert(code.end(), table.begin(), table.end());
    PePut(&code, code.size(), 0xE8, 1);
    PePut(&code, code.size(), 0x1100 - (0x1000 + code.size() + 4), 4);
    PeImageSpec plan = SmallPe(false, code);
    plan.relocationRva = 0x1010;
    plan.relocationSize = uint32_t(table.size());
    plan.content.push_back({0x600, {0xE8, 0, 0, 0, 0}});
    const PeBytes image = BuildPe(plan);
    DisassemblerWin32X86 parser(image.data(), image.size());
    ASSERT_TRUE(parser.parseHeader());
    DisassembledProgram program(WIN_32_X86);
    ASSERT_TRUE(parser.disassemble(&program));
    EXPECT_EQ(placesOf(parser.image().rel32Places()), Places{0x1025});
}

// Emission of an image with 32-bit or 64-bit pointers in .data and calls in .text: the
// relocation table becomes a marker that assembly regenerates in the same layout.
TEST(PeEmission, EmitsAbs32AndMarkerAndReassemblesTheImage)
{
    for (bool is64 : {false, true}) {
        SCOPED_TRACE(is64 ? "PE32+" : "PE32");
        const uint64_t base = is64 ? 0x180000000ull : 0x10000000;
        PeBytes data;
        for (uint32_t target : {0x1000u, 0x3010u, 0x1000u})
            PePut(&data, data.size(), base + target, is64 ? 8 : 4);
        const uint16_t type = is64 ? 0xA000 : 0x3000;
        const uint16_t step = is64 ? 8 : 4;
        const PeBytes table =
            PeRelocationBlock(0x3000, {type, uint16_t(type | step), uint16_t(type | 2 * step)});
        PeImageSpec plan = SmallPe(is64, {0xE8, 0xFB, 0x00, 0x00, 0x00}, table);
        plan.imageBase = base;
        plan.content.push_back({0x600, data});
        const PeBytes image = BuildPe(plan);

        std::unique_ptr<DisassembledProgram> program;
        ASSERT_EQ(ParseExecutable(image.data(), image.size(), &program), STATUS_OK);
        EXPECT_EQ(program->kind(), is64 ? WIN_32_X64 : WIN_32_X86);
        EXPECT_EQ(program->imageBase(), base);
        size_t abs32 = 0;
        size_t markers = 0;
        for (size_t i = 0; i < program->instructionCount(); ++i) {
            abs32 += program->instruction(i).kind() == INSTRUCTION_ABS32;
            markers += program->instruction(i).kind() == INSTRUCTION_PE_RELOCS;
        }
        EXPECT_EQ(abs32, 3u);
        EXPECT_EQ(markers, 1u);
        std::vector<uint32_t> labels;
        for (const auto& entry : program->abs32Labels())
            labels.push_back(entry.first);
        EXPECT_EQ(labels, (std::vector<uint32_t>{0x1000, 0x3010}));
        EXPECT_EQ(rel32sOf(*program), (std::vector<FoundRel32>{{0x1001, 0x1100}}));
        EXPECT_EQ(reassemble(program.get()), image);
    }
}

// Every 32-bit word of the headers, the section table and the relocation table, set to values
// that break sizes, offsets and addresses: each parser rejects the image, fails its
// disassembly with a reason, or emits a program that encodes and assembles without harm.
TEST(PeDamage, AnyDamagedWordIsRejectedOrHandled)
{
    const PeBytes code = {0xE8, 0xFB, 0x00, 0x00, 0x00, 0x0F, 0x84, 0x10, 0x00, 0x00, 0x00,
                          0x48, 0x8D, 0x05, 0x20, 0x00, 0x00, 0x00};
    for (bool is64 : {false, true}) {
        const PeBytes table = PeRelocationBlock(0x3000, {uint16_t(is64 ? 0xA000 : 0x3000), 0x0000});
        const PeBytes original = BuildPe(SmallPe(is64, code, table));
        std::vector<size_t> words;
        for (size_t at = 0; at < 0x1F0; at += 4)
            words.push_back(at);
        for (size_t at = 0x400; at < 0x400 + table.size(); at += 4)
            words.push_back(at);
        for (size_t at : words) {
            for (uint32_t value : {0u, 0xFFFFFFFFu, 0x80000000u, 0x1001u, 0xFFFu}) {
                SCOPED_TRACE(::testing::Message() << is64 << " at " << at << " value " << value);
                const PeBytes image = patched(original, at, value, 4);
                DisassemblerWin32X86 x86(image.data(), image.size());
                DisassemblerWin32X64 x64(image.data(), image.size());
                Disassembler& parser = is64 ? static_cast<Disassembler&>(x64) : x86;
                if (!parser.parseHeader())
                    continue;
                ASSERT_LE(parser.length(), image.size());
                DisassembledProgram program(parser.kind());
                if (!parser.disassemble(&program)) {
                    EXPECT_STRNE(parser.failureReason(), "");
                    continue;
                }
                EncodedProgram encoded;
                ASSERT_EQ(EncodeProgram(program, &encoded), STATUS_OK);
                ByteSink assembled;
                const PatchStatus status = AssembleProgram(encoded, &assembled);
                EXPECT_TRUE(status == STATUS_OK || status == STATUS_ASSEMBLY_FAILED);
            }
        }
    }
}

TEST(PeDetection, ReportsKindAndLengthOrNotRecognised)
{
    PeImageSpec trailing = SmallPe(false, PeBytes(16, 0x90));
    trailing.length = 0x900;
    const struct {
        const char* name;
        PeBytes image;
        PatchStatus status;
        ExecutableKind kind;
        size_t length;
    } rows[] = {
        {"PE32", BuildPe(SmallPe(false, PeBytes(16, 0x90))), STATUS_OK, WIN_32_X86, 0x800},
        {"PE32+", BuildPe(SmallPe(true, PeBytes(16, 0x90))), STATUS_OK, WIN_32_X64, 0x800},
        {"trailing data", BuildPe(trailing), STATUS_OK, WIN_32_X86, 0x800},
        {"no .text", changed(true, [](PeImageSpec* s) { s->sections[0].name = "CODE"; }),
         STATUS_INPUT_NOT_RECOGNIZED, UNKNOWN, 0},
        {"MZ only", truncated(BuildPe(SmallPe(false, {})), 0x40), STATUS_INPUT_NOT_RECOGNIZED,
         UNKNOWN, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ExecutableKind kind = MACHO_X64;
        size_t length = 1;
        EXPECT_EQ(DetectExecutable(row.image.data(), row.image.size(), &kind, &length),
                  row.status);
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(length, row.length);
    }
}

} // namespace
} // namespace deltapatch
