// Tests of MappedFile: which files map, what the mapping holds and the checked accessor.
#include "deltapatch/mappedfile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace deltapatch {
namespace {

class MappedFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mappedfile_test.XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override
    {
        for (const std::string& path : m_Files)
            std::remove(path.c_str());
        ::rmdir(m_Dir.c_str());
    }
    std::string file(const std::string& name, const std::string& content)
    {
        const std::string path = m_Dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        m_Files.push_back(path);
        return path;
    }

    std::string m_Dir;
    std::vector<std::string> m_Files;
};

TEST_F(MappedFileTest, FilesThatCannotBeMapped)
{
    const std::string fifo = m_Dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    m_Files.push_back(fifo);
    const std::string paths[] = {m_Dir + "/missing", file("empty", ""), m_Dir, fifo};
    for (const std::string& path : paths) {
        MappedFile mapped;
        EXPECT_FALSE(mapped.open(path.c_str())) << path;
        EXPECT_FALSE(mapped.valid());
        EXPECT_EQ(mapped.data(), nullptr);
        EXPECT_EQ(mapped.length(), 0u);
    }
    MappedFile none;
    EXPECT_FALSE(none.open(nullptr));
}

TEST_F(MappedFileTest, MapsWholeFileWithEveryHint)
{
    const std::string content("mapped\0bytes", 12);
    const std::string path = file("data", content);
    for (int hint : {0, 1, 2, 7}) {
        MappedFile mapped;
        ASSERT_TRUE(mapped.open(path.c_str(), hint)) << hint;
        EXPECT_TRUE(mapped.valid());
        ASSERT_EQ(mapped.length(), content.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped.data()), mapped.length()), content);
        EXPECT_EQ(mapped.at(11), 's');
        EXPECT_EQ(mapped[6], '\0');
    }
}

TEST_F(MappedFileTest, CheckedAccessorThrows)
{
    MappedFile mapped;
    EXPECT_THROW(
        try { mapped.at(0); } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "No view mapped");
            throw;
        },
        std::invalid_argument);
    ASSERT_TRUE(mapped.open(file("three", "abc").c_str()));
    EXPECT_EQ(mapped.at(2), 'c');
    EXPECT_THROW(
        try { mapped.at(3); } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "View is not large enough");
            throw;
        },
        std::out_of_range);
    mapped.close();
    EXPECT_FALSE(mapped.valid());
    EXPECT_THROW(mapped.at(0), std::invalid_argument);
}

TEST_F(MappedFileTest, ReopenReplacesMapping)
{
    MappedFile mapped;
    ASSERT_TRUE(mapped.open(file("first", "first file").c_str()));
    ASSERT_TRUE(mapped.open(file("second", "2nd").c_str()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped.data()), mapped.length()), "2nd");
    EXPECT_FALSE(mapped.open((m_Dir + "/missing").c_str()));
    EXPECT_FALSE(mapped.valid());
}

} // namespace
} // namespace deltapatch
