// Log writer library: line formatting, level filter, sink dispatch and the end after a critical message.
#include "log/log.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

namespace {

// Sinks are registered before logging starts, so the list itself is not locked.
std::vector<LogBase*>& sinks()
{
    static std::vector<LogBase*> list;
    return list;
}

std::atomic<int> g_Threshold{LogLevel_DEVEL};
std::atomic<bool> g_LocalTime{false};
std::atomic<int> g_TimeStampForm{0};
std::atomic<LogCriticalCallback> g_CriticalCallback{nullptr};

constexpr size_t kTimeStampWidth = 26;
constexpr size_t kShortestStamp = 20;

boost::posix_time::ptime now()
{
    using boost::posix_time::microsec_clock;
    return g_LocalTime.load() ? microsec_clock::local_time() : microsec_clock::universal_time();
}

// "YYYYMMDDTHHMMSS[.ffffff]" becomes "YYYY-MM-DD HH:MM:SS[.ffffff]".
std::string rearrangedIsoStamp(const boost::posix_time::ptime& time)
{
    const std::string iso = boost::posix_time::to_iso_string(time);
    if (iso.size() < 15 || iso[8] != 'T')
        return iso;
    std::string out = iso.substr(0, 4) + '-' + iso.substr(4, 2) + '-' + iso.substr(6, 2) + ' ' +
                      iso.substr(9, 2) + ':' + iso.substr(11, 2) + ':' + iso.substr(13);
    if (out.size() < kShortestStamp)
        out += '.';
    // Right-aligned with blanks: zero fill would turn the year into "0000002024".
    if (out.size() < kTimeStampWidth)
        out.insert(0, kTimeStampWidth - out.size(), ' ');
    return out;
}

// Seconds since the Unix epoch with microseconds, e.g. "1700000000.000123".
std::string epochStamp(const boost::posix_time::ptime& time)
{
    using namespace boost::posix_time;
    const time_duration since = time - ptime(boost::gregorian::date(1970, 1, 1));
    const long long micros = since.total_microseconds();
    return (boost::format("%d.%06d") % (micros / 1000000) % (micros % 1000000)).str();
}

std::string timeStamp()
{
    const boost::posix_time::ptime time = now();
    switch (g_TimeStampForm.load()) {
    case 1:
        return boost::posix_time::to_iso_extended_string(time);
    case 2:
        return epochStamp(time);
    default:
        return rearrangedIsoStamp(time);
    }
}

// Continuation lines start under the first character of the message.
std::string indentedBody(const std::string& message, size_t indent)
{
    const std::string lineBreak = "\n" + std::string(indent, ' ');
    std::string body;
    body.reserve(message.size());
    for (char c : message) {
        if (c == '\n')
            body += lineBreak;
        else
            body += c;
    }
    return body;
}

void dispatch(const std::string& message, int level, const std::string& channel, uint64_t id)
{
    const LogCriticalCallback callback = g_CriticalCallback.load();
    const bool critical = level == LogLevel_CRITICAL;
    if (sinks().empty() && !(critical && callback))
        return; // nobody receives the line, so do not build it
    const std::string stamp = timeStamp();
    const std::string idText = id == 0 ? std::string() : std::to_string(id);
    const std::string header =
        (boost::format("%s|%-8s|%-14s|%-3s|") % stamp % levelName(level) % channel % idText).str();
    const std::string line = header + indentedBody(message, header.size());
    for (LogBase* sink : sinks()) {
        sink->write(message, level, channel, id, stamp, line);
        if (critical)
            sink->flush();
    }
    if (critical && callback)
        callback(message, channel, id, stamp, line);
}

} // namespace

LogBase::LogBase()
{
    sinks().push_back(this);
}

LogBase::~LogBase()
{
    auto& list = sinks();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void LogBase::hook2(int) {}

void logMessage(const std::string& message, int level, const std::string& channel, uint64_t id)
{
    if (g_Threshold.load() >= level)
        dispatch(message, level, channel, id);
    if (level == LogLevel_CRITICAL)
        std::exit(1);
}

const char* levelName(int level)
{
    static const char* const names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    const int lvl = level;
    if (!(lvl >= 0 && lvl <= LogLevel_DEVEL))
        logAssertionFailed("lvl >= 0 && lvl <= LogLevel_DEVEL", "../../deps/log/src/lib/log", __LINE__,
                           std::string());
    return names[lvl];
}

void logSetThreshold(int level)
{
    g_Threshold = level;
}

int logThreshold()
{
    return g_Threshold.load();
}

void logSetLocalTime(bool local)
{
    g_LocalTime = local;
}

void logSetTimeStampForm(int form)
{
    g_TimeStampForm = form;
}

void logSetCriticalCallback(LogCriticalCallback callback)
{
    g_CriticalCallback = callback;
}

int logSinkCount()
{
    return static_cast<int>(sinks().size());
}

void logAssertionFailed(const char* expression, const char* file, int line, const std::string& detail)
{
    const std::string text = std::string("Assertion \"") + expression + "\" failed at " + file + ":" +
                             std::to_string(line) + "; " + detail;
    logMessage(text, LogLevel_CRITICAL, std::string(), 0);
    std::exit(1); // logMessage already ended the process; this keeps the promise visible
}
