// Log sink that keeps the engine's last error message for the tool's one-line failure report.
#pragma once

#include <string>

#include "log/log.h"

namespace cli {

class EngineLog : public LogBase {
public:
    // `context` prefixes the line printed when the engine reports a critical error, which ends
    // the process right after the sink has seen it.
    void setContext(const std::string& context) { m_Context = context; }
    // Text of the last ERROR or CRITICAL message since the last clear(), trimmed; may be empty.
    const std::string& lastError() const { return m_LastError; }
    void clear() { m_LastError.clear(); }

    void flush() override {}
    void hook1(int) override {}
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
               const std::string& timeStamp, const std::string& line) override;

private:
    std::string m_Context;
    std::string m_LastError;
};

// The process's one engine log sink, registered on first use.
EngineLog& engineLog();

} // namespace cli
