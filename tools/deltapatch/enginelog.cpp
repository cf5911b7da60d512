// Remembers engine errors; reports a critical one at once because the log library then exits.
#include "enginelog.h"

#include <cstdio>

#include "progress.h"

namespace cli {
namespace {

// The failure report is one line, so line breaks inside a message become blanks.
std::string oneLine(const std::string& text)
{
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    std::string line = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return line;
}

} // namespace

void EngineLog::write(const std::string& message, int level, const std::string&, uint64_t,
                      const std::string&, const std::string&)
{
    if (level > LogLevel_ERROR)
        return;
    m_LastError = oneLine(message);
    if (level == LogLevel_CRITICAL) {
        clearProgressLine();
        std::fprintf(stderr, "%s: internal error: %s\n", m_Context.c_str(), m_LastError.c_str());
        std::fflush(stderr);
    }
}

EngineLog& engineLog()
{
    static EngineLog log;
    return log;
}

} // namespace cli
