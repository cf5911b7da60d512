// Throttled progress line on a terminal.
#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace cli {
namespace {

bool g_LineShown = false;

} // namespace

Progress::Progress(std::string label, uint64_t inputBytes)
    : m_Label(std::move(label)), m_Enabled(inputBytes > kLongRunBytes && ::isatty(2))
{
}

void Progress::note(const std::string& text)
{
    if (m_Enabled)
        draw(text);
}

void Progress::update(uint64_t done, uint64_t total)
{
    if (!m_Enabled || total == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (g_LineShown && now - m_LastDraw < std::chrono::milliseconds(100))
        return;
    const int percent = done >= total ? 100 : static_cast<int>(100.0 * done / total);
    draw(std::to_string(percent) + "% of " + humanSize(total));
}

void Progress::finish()
{
    if (m_Enabled)
        clearProgressLine();
}

void clearProgressLine()
{
    if (g_LineShown)
        std::fputs("\r\033[K", stderr);
    g_LineShown = false;
}

void Progress::draw(const std::string& text)
{
    std::fprintf(stderr, "\r\033[K%s: %s", m_Label.c_str(), text.c_str());
    std::fflush(stderr);
    g_LineShown = true;
    m_LastDraw = std::chrono::steady_clock::now();
}

std::string humanSize(uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

} // namespace cli
