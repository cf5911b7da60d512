// Log writer library: formats a message into one line and hands it to every registered sink.
// A message at LogLevel_CRITICAL ends the process with exit code 1.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

enum LogLevel {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5,
};

// Abstract sink. Constructing one registers it with the process-wide sink list; destroying it
// unregisters it. Sinks are meant to be set up before logging starts (no locking).
class LogBase {
public:
    LogBase();
    virtual ~LogBase();
    LogBase(const LogBase&) = delete;
    LogBase& operator=(const LogBase&) = delete;

    virtual void flush() = 0;
    virtual void hook1(int value) = 0;
    // `line` is the complete formatted line (header + indented body, no line end).
    virtual void write(const std::string& message, int level, const std::string& channel,
                       uint64_t id, const std::string& timeStamp, const std::string& line) = 0;
    virtual void hook2(int value);
};

using LogCriticalCallback = void (*)(const std::string& message, const std::string& channel,
                                     uint64_t id, const std::string& timeStamp,
                                     const std::string& line);

// Formats and dispatches one message. A level-0 message always ends the process with exit(1),
// also when the threshold filtered it.
void logMessage(const std::string& message, int level, const std::string& channel, uint64_t id);

// Name of a level as written in the line ("CRITICAL" … "DEVELOP"). A level outside 0..5 is a
// programming error: it reports a failed assertion at the critical level, which ends the process.
const char* levelName(int level);

// A message is processed when the threshold is at least its level (default 5: everything).
void logSetThreshold(int level);
int logThreshold();
// Time stamps use UTC by default; `true` switches to local time.
void logSetLocalTime(bool local);
// Form 0 (default): "YYYY-MM-DD HH:MM:SS.ffffff", right-aligned in 26 characters ("." after
// the seconds when the fraction is zero). Form 1: "YYYY-MM-DDTHH:MM:SS.ffffff". Form 2: seconds
// since the Unix epoch with six decimals. Any other value behaves as form 0.
void logSetTimeStampForm(int form);
// Called with the line of every processed critical message, after the sinks.
void logSetCriticalCallback(LogCriticalCallback callback);
int logSinkCount();

// Builds "Assertion "<expr>" failed at <file>:<line>; <detail>" and logs it at the critical level.
[[noreturn]] void logAssertionFailed(const char* expression, const char* file, int line,
                                     const std::string& detail);

// Stream-style wrapper: collects text and logs it when destroyed.
class LogStream {
public:
    LogStream(int level, std::string channel = std::string(), uint64_t id = 0)
        : m_Level(level), m_Channel(std::move(channel)), m_Id(id) {}
    ~LogStream() { logMessage(m_Text.str(), m_Level, m_Channel, m_Id); }
    template <typename T> LogStream& operator<<(const T& value)
    {
        m_Text << value;
        return *this;
    }

private:
    int m_Level;
    std::string m_Channel;
    uint64_t m_Id;
    std::ostringstream m_Text;
};
