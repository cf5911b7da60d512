// Tests of the log writer library: line layout, level filter, sinks and the end after a critical message.
#include "log/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

struct Written {
    std::string message;
    int level;
    std::string channel;
    uint64_t id;
    std::string timeStamp;
    std::string line;
};

class RecordingSink : public LogBase {
public:
    void flush() override { ++flushes; }
    void hook1(int) override {}
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
               const std::string& timeStamp, const std::string& line) override
    {
        lines.push_back({message, level, channel, id, timeStamp, line});
    }
    std::vector<Written> lines;
    int flushes = 0;
};

// Makes what the library hands to sinks visible to death tests, which only see stderr.
class StderrSink : public LogBase {
public:
    void flush() override { std::fputs("<flushed>", stderr); }
    void hook1(int) override {}
    void write(const std::string&, int, const std::string&, uint64_t, const std::string&,
               const std::string& line) override
    {
        std::fputs(line.c_str(), stderr);
    }
};

// Every test starts from the library's defaults and leaves them behind.
class LogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        logSetThreshold(LogLevel_DEVEL);
        logSetLocalTime(false);
        logSetTimeStampForm(0);
        logSetCriticalCallback(nullptr);
    }
};

// True when `text` has the layout of one of `shapes`, in which '9' stands for any digit.
bool hasShape(const std::string& text, std::initializer_list<const char*> shapes)
{
    for (const std::string shape : shapes) {
        bool same = text.size() == shape.size();
        for (size_t i = 0; same && i < shape.size(); ++i)
            same = shape[i] == '9' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0 : shape[i] == text[i];
        if (same)
            return true;
    }
    return false;
}

bool isForm0(const std::string& stamp)
{
    return hasShape(stamp, {"9999-99-99 99:99:99.999999", "      9999-99-99 99:99:99."});
}

TEST_F(LogTest, HeaderIsFiftyFiveCharactersAndContinuationLinesLineUp)
{
    RecordingSink sink;
    logMessage("a\nb", LogLevel_ERROR, "net", 7);
    ASSERT_EQ(sink.lines.size(), 1u);
    const Written& w = sink.lines[0];
    EXPECT_EQ(w.message, "a\nb");
    EXPECT_EQ(w.level, LogLevel_ERROR);
    EXPECT_EQ(w.channel, "net");
    EXPECT_EQ(w.id, 7u);
    ASSERT_EQ(w.timeStamp.size(), 26u);
    EXPECT_TRUE(isForm0(w.timeStamp)) << w.timeStamp;
    EXPECT_EQ(w.line, w.timeStamp + "|ERROR   |net           |7  |a\n" + std::string(55, ' ') + "b");
    EXPECT_EQ(sink.flushes, 0);
}

TEST_F(LogTest, HeaderColumns)
{
    struct Row {
        int level;
        std::string channel;
        uint64_t id;
        std::string expected; // the line after the time stamp
    };
    const Row rows[] = {
        {LogLevel_WARNING, "", 0, "|WARNING |              |   |m"},
        {LogLevel_DEVEL, "a-channel-longer-than-14", 12345, "|DEVELOP |a-channel-longer-than-14|12345|m"},
        {LogLevel_DEBUG, "x", 1, "|DEBUG   |x             |1  |m"},
    };
    for (const Row& row : rows) {
        RecordingSink sink;
        logMessage("m", row.level, row.channel, row.id);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(sink.lines[0].line.substr(26), row.expected);
    }
}

TEST_F(LogTest, ThresholdFiltersHigherLevels)
{
    struct Row {
        int threshold;
        int level;
        bool written;
    };
    const Row rows[] = {
        {LogLevel_DEVEL, LogLevel_DEVEL, true},
        {LogLevel_ERROR, LogLevel_WARNING, false},
        {LogLevel_WARNING, LogLevel_WARNING, true},
        {LogLevel_DEBUG, LogLevel_INFO, false}, // DEBUG ranks before INFO
        {LogLevel_INFO, LogLevel_DEBUG, true},
    };
    for (const Row& row : rows) {
        RecordingSink sink;
        logSetThreshold(row.threshold);
        logMessage("m", row.level, "", 0);
        EXPECT_EQ(sink.lines.size(), row.written ? 1u : 0u)
            << "threshold " << row.threshold << " level " << row.level;
    }
}

TEST_F(LogTest, WarningWithoutSinkContinues)
{
    ASSERT_EQ(logSinkCount(), 0);
    logMessage("nobody listens", LogLevel_WARNING, "", 0);
    LogStream(LogLevel_ERROR) << "value " << 42;
    SUCCEED();
}

TEST_F(LogTest, SinksRegisterAndUnregister)
{
    ASSERT_EQ(logSinkCount(), 0);
    {
        RecordingSink first;
        RecordingSink second;
        EXPECT_EQ(logSinkCount(), 2);
        LogStream(LogLevel_INFO, "chan", 3) << "x=" << 5;
        ASSERT_EQ(first.lines.size(), 1u);
        ASSERT_EQ(second.lines.size(), 1u);
        EXPECT_EQ(first.lines[0].message, "x=5");
        EXPECT_EQ(first.lines[0].line, second.lines[0].line);
    }
    EXPECT_EQ(logSinkCount(), 0);
}

TEST_F(LogTest, TimeStampForms)
{
    const std::pair<int, bool (*)(const std::string&)> forms[] = {
        {1, [](const std::string& s) { return hasShape(s, {"9999-99-99T99:99:99.999999", "9999-99-99T99:99:99"}); }},
        {2, [](const std::string& s) { return hasShape(s, {"9999999999.999999"}); }},
        {9, isForm0},
    };
    for (const auto& form : forms) {
        RecordingSink sink;
        logSetTimeStampForm(form.first);
        logSetLocalTime(form.first == 1);
        logMessage("m", LogLevel_INFO, "", 0);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_TRUE(form.second(sink.lines[0].timeStamp))
            << "form " << form.first << ": " << sink.lines[0].timeStamp;
    }
}

TEST_F(LogTest, LevelNames)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int level = 0; level <= LogLevel_DEVEL; ++level)
        EXPECT_STREQ(levelName(level), names[level]);
}

using LogDeathTest = LogTest;

void criticalCallback(const std::string& message, const std::string& channel, uint64_t id,
                      const std::string&, const std::string&)
{
    std::fprintf(stderr, "<callback %s %s %llu>", message.c_str(), channel.c_str(),
                 static_cast<unsigned long long>(id));
}

TEST_F(LogDeathTest, CriticalEndsProcessEvenWhenFiltered)
{
    for (int threshold : {-1, 0, int(LogLevel_DEVEL)}) {
        logSetThreshold(threshold);
        EXPECT_EXIT(logMessage("boom", LogLevel_CRITICAL, "", 0), ::testing::ExitedWithCode(1), "")
            << "threshold " << threshold;
    }
}

TEST_F(LogDeathTest, CriticalIsWrittenFlushedAndPassedToCallback)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            logSetCriticalCallback(criticalCallback);
            logMessage("boom", LogLevel_CRITICAL, "core", 9);
        },
        ::testing::ExitedWithCode(1), R"(\|CRITICAL\|core +\|9  \|boom<flushed><callback boom core 9>)");
}

TEST_F(LogDeathTest, LevelOutsideTableReportsAssertion)
{
    for (int level : {6, -1}) {
        EXPECT_EXIT(
            {
                StderrSink sink;
                levelName(level);
            },
            ::testing::ExitedWithCode(1),
            R"(\|CRITICAL\|              \|   \|Assertion "lvl >= 0 && lvl <= LogLevel_DEVEL" failed at [^:]+:[0-9]+; <flushed>)")
            << "level " << level;
    }
}

TEST_F(LogDeathTest, AssertionReportText)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            logAssertionFailed("a == b", "dir/file", 12, "detail");
        },
        ::testing::ExitedWithCode(1), R"(\|   \|Assertion "a == b" failed at dir/file:12; detail<flushed>)");
}

} // namespace
