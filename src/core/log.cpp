#include "core/log.hpp"

#include <iostream>

namespace velk {

const char* logLevelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Info: return "INFO";
        case LogLevel::Warning: return "WARNING";
        case LogLevel::Error: return "ERROR";
        case LogLevel::Success: return "SUCCESS";
    }
    return "INFO";
}

void logMessage(LogLevel level, const std::string& message) {
    std::cerr << "[velk][" << logLevelWord(level) << "] " << message << "\n";
}

}  // namespace velk
