// Tests of program assembly: references, relocation tables, ARM branches and operand checks.
#include "deltapatch/encodedprogram.h"

#include <gtest/gtest.h>

#include <functional>

#include "programtesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;

// Abs32 references at the given RVAs (image base 0), then `marker` (or none when 0).
ProgramRows abs32At(const Words& rvas, uint32_t marker, bool markerFirst = false)
{
    ProgramRows rows;
    rows.abs32Rvas = {0x44};
    if (markerFirst)
        rows.ops.push_back(marker);
    for (uint32_t rva : rvas) {
        rows.ops.insert(rows.ops.end(), {OP_ORIGIN, OP_ABS32});
        rows.origins.push_back(rva);
        rows.abs32Indexes.push_back(0);
    }
    if (!markerFirst && marker != 0)
        rows.ops.push_back(marker);
    return rows;
}

Bytes abs32Values(size_t count)
{
    Bytes out;
    for (size_t i = 0; i < count; ++i)
        appendU32(&out, 0x44);
    return out;
}

// One PE relocation block: page, size, entries, padded to a multiple of four bytes.
Bytes peBlock(uint32_t page, const Words& entries)
{
    const size_t padded = entries.size() + entries.size() % 2;
    Bytes out;
    appendU32(&out, page);
    appendU32(&out, static_cast<uint32_t>(8 + 2 * padded));
    for (uint32_t entry : entries)
        appendU16(&out, entry);
    if (padded != entries.size())
        appendU16(&out, 0);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(AssembleProgram, References)
{
    ProgramRows rel32;
    rel32.ops = {OP_ORIGIN, OP_REL32};
    rel32.origins = {0x1000};
    rel32.rel32Rvas = {0x2000};
    rel32.rel32Indexes = {0};
    Assembled a = assemble(rel32);
    EXPECT_EQ(a.status, STATUS_OK);
    EXPECT_EQ(a.bytes, (Bytes{0xFC, 0x0F, 0x00, 0x00}));

    ProgramRows abs32 = abs32At({0x1000}, OP_MAKE_PE_RELOCATION_TABLE);
    abs32.imageBase = 0x7700000000400000ull; // only the low half is added
    abs32.abs32Rvas = {0x10};
    a = assemble(abs32);
    EXPECT_EQ(a.status, STATUS_OK);
    EXPECT_EQ(a.bytes, concat({{0x10, 0x00, 0x40, 0x00}, peBlock(0x1000, {0x3000})}));
}

TEST(AssembleProgram, CopiesAndBackwardReferencesAdvanceTheRva)
{
    ProgramRows rows;
    rows.ops = {OP_ORIGIN, OP_COPY, OP_COPY1, OP_REL32, OP_REL32};
    rows.origins = {0x100};
    rows.copyCounts = {3};
    rows.copyBytes = {1, 2, 3, 4};
    rows.rel32Rvas = {0x100};
    rows.rel32Indexes = {0, 0};
    // 0x100 - 0x104 - 4 = -8, then 0x100 - 0x108 - 4 = -12
    EXPECT_EQ(assemble(rows).bytes, (Bytes{1, 2, 3, 4, 0xF8, 0xFF, 0xFF, 0xFF, 0xF4, 0xFF, 0xFF, 0xFF}));
}

TEST(AssembleProgram, PeRelocationTables)
{
    struct Row {
        const char* name;
        Words rvas;
        uint32_t marker;
        Bytes table;
    };
    const Row rows[] = {
        {"sorted into pages", {0x1008, 0x1004, 0x2000}, OP_MAKE_PE_RELOCATION_TABLE,
         concat({peBlock(0x1000, {0x3004, 0x3008}), peBlock(0x2000, {0x3000})})},
        {"the last entry keeps its place", {0x1008, 0x2000, 0x1004}, OP_MAKE_PE_RELOCATION_TABLE,
         concat({peBlock(0x1000, {0x3008}), peBlock(0x2000, {0x3000}), peBlock(0x1000, {0x3004})})},
        {"64-bit entries", {0x3FFC, 0x3000}, OP_MAKE_PE64_RELOCATION_TABLE,
         peBlock(0x3000, {0xAFFC, 0xA000})},
        {"no entries, no block", {}, OP_MAKE_PE_RELOCATION_TABLE, {}},
    };
    for (const Row& row : rows) {
        const Assembled a = assemble(abs32At(row.rvas, row.marker));
        ASSERT_EQ(a.status, STATUS_OK) << row.name;
        EXPECT_EQ(a.bytes, concat({abs32Values(row.rvas.size()), row.table})) << row.name;
    }
}

TEST(AssembleProgram, ElfRelocationTables)
{
    struct Row {
        uint32_t marker;
        uint32_t type;
    };
    for (const Row row : {Row{OP_MAKE_ELF_RELOCATION_TABLE, 8}, Row{OP_MAKE_ELF_ARM_RELOCATION_TABLE, 23}}) {
        const Assembled a = assemble(abs32At({0x30, 0x20, 0x10}, row.marker));
        ASSERT_EQ(a.status, STATUS_OK);
        Bytes table;
        for (uint32_t rva : {0x20, 0x30, 0x10}) { // all but the last entry sorted
            appendU32(&table, rva);
            appendU32(&table, row.type);
        }
        EXPECT_EQ(a.bytes, concat({abs32Values(3), table})) << row.type;
    }
}

// Output after a marker follows the table; with both kinds of table the ELF one comes last.
TEST(AssembleProgram, TablesPrecedeWhatFollowsTheirMarker)
{
    Assembled a = assemble(abs32At({0x10}, OP_MAKE_PE_RELOCATION_TABLE, true));
    ASSERT_EQ(a.status, STATUS_OK);
    EXPECT_EQ(a.bytes, concat({peBlock(0, {0x3010}), abs32Values(1)}));

    ProgramRows both = abs32At({0x10}, OP_MAKE_PE_RELOCATION_TABLE, true);
    both.ops.push_back(OP_MAKE_ELF_RELOCATION_TABLE);
    both.ops.push_back(OP_COPY1);
    both.copyBytes = {0xEE};
    a = assemble(both);
    ASSERT_EQ(a.status, STATUS_OK);
    EXPECT_EQ(a.bytes, concat({peBlock(0, {0x3010}), abs32Values(1), {0xEE},
                               {0x10, 0, 0, 0, 8, 0, 0, 0}}));
}

TEST(AssembleProgram, PageEntryLimit)
{
    Words rvas;
    for (uint32_t i = 0; i < 4092; ++i)
        rvas.push_back(0x5000 + (i % 0x1000));
    EXPECT_EQ(assemble(abs32At(rvas, OP_MAKE_PE_RELOCATION_TABLE)).status, STATUS_OK);
    rvas.push_back(0x5FFF);
    EXPECT_EQ(assemble(abs32At(rvas, OP_MAKE_PE_RELOCATION_TABLE)).status, STATUS_ASSEMBLY_FAILED);
    rvas.back() = 0x6000; // the extra entry opens its own page
    EXPECT_EQ(assemble(abs32At(rvas, OP_MAKE_PE_RELOCATION_TABLE)).status, STATUS_OK);
}

TEST(AssembleProgram, RefusesBrokenPrograms)
{
    const ProgramRows base = smallProgram(); // uses every kind of operand
    struct Row {
        const char* name;
        std::function<void(ProgramRows*)> change;
    };
    const Row rows[] = {
        {"two PE markers", [](ProgramRows* p) { p->ops.insert(p->ops.end(), {5, 5}); }},
        {"PE and PE64 markers", [](ProgramRows* p) { p->ops.insert(p->ops.end(), {8, 5}); }},
        {"two ELF markers", [](ProgramRows* p) { p->ops.insert(p->ops.end(), {7, 6}); }},
        {"leftover copy byte", [](ProgramRows* p) { p->copyBytes.push_back(0); }},
        {"leftover copy count", [](ProgramRows* p) { p->copyCounts.push_back(0); }},
        {"leftover rel32 index", [](ProgramRows* p) { p->rel32Indexes.push_back(0); }},
        {"leftover abs32 index", [](ProgramRows* p) { p->abs32Indexes.push_back(0); }},
        {"copy beyond the bytes", [](ProgramRows* p) { p->copyCounts = {4}; }},
        {"huge copy count", [](ProgramRows* p) { p->copyCounts = {0xFFFFFFFF}; }},
        {"missing origin", [](ProgramRows* p) { p->origins.clear(); }},
        {"missing copy count", [](ProgramRows* p) { p->copyCounts.clear(); }},
        {"missing rel32 index", [](ProgramRows* p) { p->rel32Indexes.clear(); }},
        {"missing abs32 index", [](ProgramRows* p) { p->abs32Indexes.clear(); }},
        {"rel32 index without RVA", [](ProgramRows* p) { p->rel32Indexes = {2, 0}; }},
        {"abs32 index without RVA", [](ProgramRows* p) { p->abs32Indexes = {1}; }},
        {"ARM index without RVA", [](ProgramRows* p) { p->rel32Indexes = {0, 5}; }},
        {"unknown op 9", [](ProgramRows* p) { p->ops.push_back(9); }},
        {"unknown op 0xFFF", [](ProgramRows* p) { p->ops.push_back(0xFFF); }},
        {"unknown op 0x6000", [](ProgramRows* p) { p->ops.push_back(0x6000); }},
    };
    ASSERT_EQ(assemble(base).status, STATUS_OK);
    for (const Row& row : rows) {
        ProgramRows broken = base;
        row.change(&broken);
        EXPECT_EQ(assemble(broken).status, STATUS_ASSEMBLY_FAILED) << row.name;
    }
    ProgramRows spareOrigin = base;
    spareOrigin.origins.push_back(0x9000); // origins are not required to be used up
    EXPECT_EQ(assemble(spareOrigin).status, STATUS_OK);
}

TEST(ArmBranch, EncoderForms)
{
    struct Row {
        const char* name;
        uint32_t op;
        uint32_t distance;
        uint32_t instruction;
    };
    const Row rows[] = {
        {"Thumb b<cond> forward", 0x10D0, 14, 0xD005},
        {"Thumb b<cond> to itself", 0x10D1, 0, 0xD1FE},
        {"Thumb b to itself", 0x201C, 0, 0xE7FE},
        {"Thumb b backward", 0x201C, static_cast<uint32_t>(-0x100), 0xE77E},
        {"ARM bl forward", 0x30EB, 72, 0xEB000010},
        {"ARM b to itself", 0x30EA, 0, 0xEAFFFFFE},
        {"Thumb-2 bl forward", 0x44F7, 0x1004, 0xF001F800},
        {"Thumb-2 bl backward", 0x44F7, 0xFFFFFF04, 0xF7FFFF80},
        {"Thumb-2 blx from a halfword boundary", 0x42F6, 0x1002, 0xF001E800},
        {"Thumb-2 beq.w forward", 0x5000, 0x1004, 0xF0018000},
        {"Thumb-2 bne.w backward", 0x5001, 0xFFFFFF04, 0xF47FAF80},
        {"not a branch form", 0x6000, 0, 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(EncodeArmBranch(row.op, row.distance), row.instruction) << row.name;
}

// Halfword forms take two bytes, the ARM form one little-endian word, the Thumb-2 forms two
// little-endian halfwords, first halfword first.
TEST(ArmBranch, AssembledByteOrderAndLength)
{
    ProgramRows rows;
    rows.ops = {OP_ORIGIN, 0x201C, 0x30EA, 0x44F7, OP_REL32};
    rows.origins = {0x100};
    rows.rel32Rvas = {0x100, 0x102, 0x110A, 0x10E};
    rows.rel32Indexes = {0, 1, 2, 3};
    const Assembled a = assemble(rows);
    ASSERT_EQ(a.status, STATUS_OK);
    EXPECT_EQ(a.bytes, (Bytes{0xFE, 0xE7, 0xFE, 0xFF, 0xFF, 0xEA, 0x01, 0xF0, 0x00, 0xF8, 0, 0, 0, 0}));
}

} // namespace
} // namespace deltapatch
