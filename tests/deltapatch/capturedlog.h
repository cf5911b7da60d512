// Log sink for tests: records the engine's messages while it is alive.
#pragma once

#include <string>
#include <vector>

#include "log/log.h"

class CapturedLog : public LogBase {
public:
    struct Entry {
        std::string message;
        int level;
        std::string channel;
    };

    void flush() override {}
    void hook1(int) override {}
    void write(const std::string& message, int level, const std::string& channel, uint64_t,
               const std::string&, const std::string&) override
    {
        m_Entries.push_back({message, level, channel});
    }

    const std::vector<Entry>& entries() const { return m_Entries; }
    // The messages of the given level, oldest first.
    std::vector<std::string> messages(int level = LogLevel_ERROR) const
    {
        std::vector<std::string> out;
        for (const Entry& e : m_Entries) {
            if (e.level == level)
                out.push_back(e.message);
        }
        return out;
    }
    void clear() { m_Entries.clear(); }

private:
    std::vector<Entry> m_Entries;
};
