// Progress line on stderr for long runs: shown only on a terminal, redrawn at most ten times a
// second, erased when the run ends so that a failure report stays the only line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace cli {

// Inputs above this size count as a long run.
constexpr uint64_t kLongRunBytes = 64ull << 20;

class Progress {
public:
    // Enabled when `inputBytes` exceeds kLongRunBytes and stderr is a terminal.
    Progress(std::string label, uint64_t inputBytes);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // A step without a measure, e.g. "unpacking 512 MiB"; drawn at once.
    void note(const std::string& text);
    // Percentage of `done` out of `total`; drawn when 100 ms have passed since the last draw.
    void update(uint64_t done, uint64_t total);
    // Erases the line.
    void finish();

private:
    void draw(const std::string& text);

    std::string m_Label;
    bool m_Enabled = false;
    std::chrono::steady_clock::time_point m_LastDraw;
};

// Erases whichever progress line is on the terminal, before another message is printed.
void clearProgressLine();

// "512 MiB", "3.4 KiB", "17 bytes".
std::string humanSize(uint64_t bytes);

} // namespace cli
