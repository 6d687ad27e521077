#pragma once

#include <string>

namespace velk {

// Severity of a console line; the values are fixed and printed as words.
enum class LogLevel : int {
    Debug = 0,
    Info = 1,
    Warning = 2,
    Error = 3,
    Success = 4,
};

// The word printed for a level; an unknown value reads "INFO".
const char* logLevelWord(LogLevel level);

// Writes "[velk][LEVEL] message" and a line feed to standard error.
void logMessage(LogLevel level, const std::string& message);

}  // namespace velk
