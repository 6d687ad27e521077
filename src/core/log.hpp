#pragma once

#include <functional>
#include <string>
#include <vector>

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

// One line of the log, taken apart: the level, the component that wrote it (the name in brackets at the
// start of the message, empty when there is none) and the message with that prefix left in place, as it is
// printed.
struct LogEntry {
    LogLevel level = LogLevel::Info;
    std::string component;
    std::string message;
};

// Where log lines go. The default prints each as "[velk][LEVEL] message" on standard error.
using LogSink = std::function<void(const LogEntry&)>;

// Sends every later line to `sink`; an empty sink restores the default. Returns the sink it replaces
// (empty when that was the default).
LogSink setLogSink(LogSink sink);

// The line the default sink prints for an entry, without the line feed.
std::string defaultLogLine(const LogEntry& entry);

// The component named in brackets at the start of a message ("[IntrinsicCalibrator] ..."), or "".
std::string logComponent(const std::string& message);

// Writes one line through the current sink.
void logMessage(LogLevel level, const std::string& message);

// Lines written on this thread while it lives are kept, in order, instead of reaching the sink; work spread
// over threads keeps one per index and sends the lines on afterwards in index order, so the log reads the
// same whatever the number of threads.
class HeldLogLines {
public:
    HeldLogLines();
    ~HeldLogLines();
    HeldLogLines(const HeldLogLines&) = delete;
    HeldLogLines& operator=(const HeldLogLines&) = delete;

    std::vector<LogEntry> take();

private:
    std::vector<LogEntry> lines_;
    std::vector<LogEntry>* outer_;
};

// Sends kept lines on to the sink, in order.
void sendLogLines(const std::vector<LogEntry>& lines);

}  // namespace velk
