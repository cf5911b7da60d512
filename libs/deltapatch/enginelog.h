// The engine's log calls: everything goes through the log writer library with an empty channel.
#pragma once

#include <string>

#include "log/log.h"

namespace deltapatch {

inline void logError(const std::string& text) { logMessage(text, LogLevel_ERROR, std::string(), 0); }
inline void logWarning(const std::string& text) { logMessage(text, LogLevel_WARNING, std::string(), 0); }
inline void logDebug(const std::string& text) { logMessage(text, LogLevel_DEBUG, std::string(), 0); }

} // namespace deltapatch
