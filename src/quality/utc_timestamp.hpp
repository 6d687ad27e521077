#pragma once

#include <chrono>
#include <string>

namespace velk::quality {

// "%Y-%m-%dT%H:%M:%S", a dot, six digits of microseconds and "+00:00".
std::string utcTimestamp(std::chrono::system_clock::time_point time);
std::string utcTimestampNow();

}  // namespace velk::quality
