#include "io/capture_names.hpp"

#include <algorithm>
#include <limits>
#include <tuple>

namespace velk::io {
namespace {

const std::string kExtension = ".png";
const std::string kPrefix = "image_";
const std::string kAnnotatedSuffix = "_annotated";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The name without its final ".png"; callers have checked the extension.
std::string stemOf(const std::string& file_name) {
    return file_name.substr(0, file_name.size() - kExtension.size());
}

// The digits after the stem's last "_", or empty when that text is not all digits.
std::string indexDigits(const std::string& file_name) {
    const std::string stem = stemOf(file_name);
    const std::string text = stem.substr(stem.rfind('_') + 1);
    const bool allDigits = std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    return allDigits ? text : std::string();
}

std::string withoutLeadingZeros(const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

// Numeric comparison of digit strings of any length.
bool numericallyLess(const std::string& a, const std::string& b) {
    const std::string shortA = withoutLeadingZeros(a);
    const std::string shortB = withoutLeadingZeros(b);
    return std::make_tuple(shortA.size(), shortA) < std::make_tuple(shortB.size(), shortB);
}

}  // namespace

bool isCaptureImageName(const std::string& file_name) {
    // A file named ".png" has that as its stem and no extension.
    if (file_name.size() <= kExtension.size() || !endsWith(file_name, kExtension)) {
        return false;
    }
    const std::string stem = stemOf(file_name);
    if (stem.size() <= 5 || stem.compare(0, kPrefix.size(), kPrefix) != 0) {
        return false;
    }
    return !(stem.size() >= 10 && endsWith(stem, kAnnotatedSuffix));
}

std::optional<int> captureIndex(const std::string& file_name) {
    const std::string digits = indexDigits(file_name);
    if (digits.empty()) {
        return std::nullopt;
    }
    // Only an index whose successor is still an int can be continued from.
    const std::string largest = std::to_string(std::numeric_limits<int>::max() - 1);
    const std::string value = withoutLeadingZeros(digits);
    if (numericallyLess(largest, value)) {
        return std::nullopt;
    }
    return value.empty() ? 0 : std::stoi(value);
}

bool precedesInCaptureOrder(const std::string& a, const std::string& b) {
    const std::string digitsA = indexDigits(a);
    const std::string digitsB = indexDigits(b);
    if (digitsA.empty() != digitsB.empty()) {
        return !digitsA.empty();
    }
    if (!digitsA.empty() && (numericallyLess(digitsA, digitsB) || numericallyLess(digitsB, digitsA))) {
        return numericallyLess(digitsA, digitsB);
    }
    return a < b;
}

}  // namespace velk::io
