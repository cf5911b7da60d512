// File helpers of the engine tests: whole-file reads and writes, seeded random bytes, and a
// fixture that gives each test a temporary directory of its own.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace deltapatch {
namespace testing {

// The file's bytes; empty when it cannot be read.
inline std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// `n` bytes that no compressor can shrink, the same for the same seed.
inline std::vector<uint8_t> randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(random());
    return out;
}

// A fresh directory under $TMPDIR for each test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/deltapatch_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }

    std::string path(const std::string& name) const { return (m_Dir / name).string(); }

    std::filesystem::path m_Dir;
};

} // namespace testing
} // namespace deltapatch
