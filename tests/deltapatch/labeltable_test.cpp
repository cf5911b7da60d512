// Tests of the label tables behind a disassembled program: identity, order and removal across
// index growth, and the refusals after memory runs out.
#include "deltapatch/disassembledprogram.h"
#include "deltapatch/labeltable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace deltapatch {
namespace {

// Enough labels for several index doublings and storage blocks, made in a scattered order
// with repeats, as branch targets come.
std::vector<uint32_t> scatteredRvas()
{
    std::vector<uint32_t> rvas;
    uint32_t x = 12345;
    for (int i = 0; i < 30000; ++i) {
        x = x * 1103515245u + 12345u;
        rvas.push_back((x >> 8) % 20000 * 16); // about 15000 distinct RVAs
    }
    rvas.push_back(0);
    rvas.push_back(0xFFFFFFFF);
    return rvas;
}

TEST(LabelTable, KeepsOneStableLabelPerRvaAndIteratesInRvaOrder)
{
    LabelTable table;
    std::map<uint32_t, AddressLabel*> first;
    for (uint32_t rva : scatteredRvas()) {
        AddressLabel* label = table.findOrMake(rva);
        ASSERT_NE(label, nullptr);
        ASSERT_EQ(label->rva, rva);
        ASSERT_EQ(first.emplace(rva, label).first->second, label) << rva;
    }
    ASSERT_EQ(table.size(), first.size());
    auto expected = first.begin();
    for (const auto& entry : table) {
        ASSERT_EQ(entry.first, expected->first);
        ASSERT_EQ(&entry.second, expected->second);
        ++expected;
    }
    EXPECT_EQ(table.count(0xFFFFFFFF), 1u);
    EXPECT_EQ(table.count(8), 0u);
}

// Also when the lookup index was let go after the removal, as the encoder does: it comes back
// at the next lookup with every label still in the table and none of the removed ones.
TEST(LabelTable, RemovedLabelsStayAliveAndTheRestStayFound)
{
    for (bool release : {false, true}) {
        SCOPED_TRACE(release ? "index released" : "index kept");
        LabelTable table;
        std::map<uint32_t, AddressLabel*> labels;
        for (uint32_t rva : scatteredRvas())
            labels[rva] = table.findOrMake(rva);
        table.remove([](const AddressLabel& label) { return label.rva % 32 == 0; });
        if (release)
            table.releaseIndex();
        size_t kept = 0;
        for (const auto& entry : labels) {
            const bool dropped = entry.first % 32 == 0;
            EXPECT_EQ(entry.second->rva, entry.first); // still readable
            EXPECT_EQ(table.count(entry.first), dropped ? 0u : 1u);
            if (!dropped) {
                ++kept;
                EXPECT_EQ(table.findOrMake(entry.first), entry.second);
            }
        }
        EXPECT_EQ(table.size(), kept);
        uint32_t previous = 0;
        for (const auto& entry : table) {
            EXPECT_NE(entry.first % 32, 0u);
            EXPECT_GT(entry.first, previous);
            previous = entry.first;
        }
        // A dropped RVA asked for again gets a fresh label.
        if (release)
            table.releaseIndex();
        AddressLabel* again = table.findOrMake(0x40);
        EXPECT_NE(again, labels[0x40]);
        EXPECT_EQ(table.count(0x40), 1u);
        EXPECT_EQ(table.size(), kept + 1);
    }
}

// Tables beyond one storage block of a huge page: labels stay put, their order is the RVA
// order of every label, also of those added after a removal.
TEST(LabelTable, LargeTablesKeepLabelsAndOrderAcrossBlocks)
{
    LabelTable table;
    std::vector<AddressLabel*> made;
    const uint32_t count = 300000;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t rva = (i * 2654435761u) ^ 0x5A5A5A5Au; // distinct, scattered
        made.push_back(table.findOrMake(rva));
        ASSERT_NE(made.back(), nullptr);
    }
    table.remove([](const AddressLabel& label) { return label.rva % 3 == 0; });
    AddressLabel* late = table.findOrMake(7);
    ASSERT_NE(late, nullptr);
    table.numberInRvaOrder();
    std::vector<uint32_t> expected{7};
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t rva = (i * 2654435761u) ^ 0x5A5A5A5Au;
        ASSERT_EQ(made[i]->rva, rva);
        if (rva % 3 != 0)
            expected.push_back(rva);
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(table.size(), expected.size());
    size_t i = 0;
    for (const auto& entry : table) {
        ASSERT_EQ(entry.first, expected[i]);
        ASSERT_EQ(entry.second.index, int32_t(i));
        ++i;
    }
    EXPECT_EQ(late->index, std::lower_bound(expected.begin(), expected.end(), 7u) - expected.begin());
    // The index behind lookups was rebuilt without the removed labels.
    EXPECT_EQ(table.count(made[0]->rva), made[0]->rva % 3 == 0 ? 0u : 1u);
    EXPECT_EQ(table.findOrMake(made[1]->rva) == made[1], made[1]->rva % 3 != 0);
}

TEST(LabelTable, RefusedReservationsLeaveProgramsThatRefuseEverything)
{
    DisassembledProgram program(WIN_32_X86);
    AddressLabel* early = program.findOrMakeRel32Label(0x100);
    ASSERT_TRUE(program.emitRel32(early));
    // Sizes no machine can hold are refused before anything is allocated.
    EXPECT_FALSE(program.reserve(size_t(1) << 62, 0, 0));
    EXPECT_FALSE(program.emitOrigin(0));
    EXPECT_FALSE(program.reserve(0, size_t(1) << 40, 0));
    EXPECT_EQ(program.findOrMakeRel32Label(0x200), nullptr);
    EXPECT_EQ(program.findOrMakeRel32Label(0x100), nullptr);
    EXPECT_TRUE(program.rel32Labels().empty());
    EXPECT_EQ(early->rva, 0x100u); // what was handed out stays valid
    EXPECT_NE(program.findOrMakeAbs32Label(0x100), nullptr);
}

} // namespace
} // namespace deltapatch
