#include "quality/utc_timestamp.hpp"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace velk::quality {

std::string utcTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(time.time_since_epoch());
    // Whole seconds rounded down, so the microsecond part is never negative.
    auto seconds = duration_cast<std::chrono::seconds>(sinceEpoch);
    if (seconds > sinceEpoch) {
        seconds -= std::chrono::seconds(1);
    }
    const long long micros = (sinceEpoch - seconds).count();
    const std::time_t wholeSeconds = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&wholeSeconds, &utc);
    char calendar[32];
    std::strftime(calendar, sizeof(calendar), "%Y-%m-%dT%H:%M:%S", &utc);
    std::ostringstream text;
    text << calendar << '.' << std::setw(6) << std::setfill('0') << micros << "+00:00";
    return text.str();
}

std::string utcTimestampNow() {
    return utcTimestamp(std::chrono::system_clock::now());
}

}  // namespace velk::quality
