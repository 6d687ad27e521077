#include "calibration/detection/later_searches.hpp"

#include "core/log.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {

void logFoundByLaterSearch(const std::string& component, const std::string& target, const std::string& search,
                           const IntrinsicOptions& options, int index) {
    logMessage(LogLevel::Info, "[" + component + "] " + target + " found by the " + search + " search in image " +
                                   pictureLabel(options.image_names, index));
}

}  // namespace velk::calibration
