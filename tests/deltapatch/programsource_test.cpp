// Tests of re-assembling a program source of the executable-aware container.
#include "deltapatch/programsource.h"

#include <gtest/gtest.h>

#include "capturedlog.h"
#include "programtesthelpers.h"

namespace deltapatch {
namespace {

using namespace deltapatch::testing;

TEST(ProgramSource, AppendsTheAssemblyOrLogsWhyNot)
{
    ProgramRows leftoverByte = smallProgram();
    leftoverByte.copyBytes.push_back(0);
    const struct {
        const char* name;
        Bytes source;
        bool ok;
        std::vector<std::string> messages;
    } rows[] = {
        {"valid", serialiseSet(writtenStreams(smallProgram())), true, {}},
        {"empty streams", serialiseSet(std::vector<Bytes>(10)), false,
         {"could not read encoded program"}},
        {"unassemblable", serialiseSet(writtenStreams(leftoverByte)), false,
         {"could not assemble program"}},
    };
    const Bytes before = {0x58, 0x59};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ByteSourceSet set;
        ASSERT_TRUE(set.init(row.source.data(), row.source.size()));
        ByteSink assembled;
        assembled.write(before.data(), before.size());
        CapturedLog log;
        EXPECT_EQ(AssembleProgramSource(&set, &assembled), row.ok);
        EXPECT_EQ(log.messages(), row.messages);
        if (!row.ok)
            continue;
        const Assembled expected = assemble(smallProgram());
        Bytes whole = before;
        whole.insert(whole.end(), expected.bytes.begin(), expected.bytes.end());
        EXPECT_EQ(bytesOf(assembled), whole);
    }
}

} // namespace
} // namespace deltapatch
