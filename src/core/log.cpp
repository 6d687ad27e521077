#include "core/log.hpp"

#include <iostream>
#include <mutex>
#include <utility>

namespace velk {
namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

thread_local std::vector<LogEntry>* heldLines = nullptr;

void deliver(const LogEntry& entry) {
    LogSink sink;
    {
        const std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(entry);
        return;
    }
    std::cerr << defaultLogLine(entry) << "\n";
}

}  // namespace

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

LogSink setLogSink(LogSink sink) {
    const std::lock_guard<std::mutex> lock(sinkMutex());
    return std::exchange(currentSink(), std::move(sink));
}

std::string defaultLogLine(const LogEntry& entry) {
    return std::string("[velk][") + logLevelWord(entry.level) + "] " + entry.message;
}

std::string logComponent(const std::string& message) {
    if (message.empty() || message.front() != '[') {
        return "";
    }
    const std::size_t end = message.find(']');
    if (end == std::string::npos || end == 1 || message.find_first_of(" \n[", 1) < end) {
        return "";
    }
    return message.substr(1, end - 1);
}

void logMessage(LogLevel level, const std::string& message) {
    LogEntry entry{level, logComponent(message), message};
    if (heldLines != nullptr) {
        heldLines->push_back(std::move(entry));
        return;
    }
    deliver(entry);
}

HeldLogLines::HeldLogLines() : outer_(heldLines) {
    heldLines = &lines_;
}

HeldLogLines::~HeldLogLines() {
    heldLines = outer_;
}

std::vector<LogEntry> HeldLogLines::take() {
    return std::exchange(lines_, {});
}

void sendLogLines(const std::vector<LogEntry>& lines) {
    for (const LogEntry& entry : lines) {
        logMessage(entry.level, entry.message);
    }
}

}  // namespace velk
