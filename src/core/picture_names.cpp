#include "core/picture_names.hpp"

#include <cctype>

namespace velk {
namespace {

// k of "image_<k>.<ext>" (the extension letters, digits or underscores), or -1 for any other name.
long long captureNumber(const std::string& name) {
    const std::string stem = "image_";
    if (name.compare(0, stem.size(), stem) != 0) {
        return -1;
    }
    size_t end = stem.size();
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) {
        ++end;
    }
    if (end == stem.size() || end - stem.size() > 15 || end + 1 >= name.size() || name[end] != '.') {
        return -1;
    }
    for (size_t k = end + 1; k < name.size(); ++k) {
        if (!std::isalnum(static_cast<unsigned char>(name[k])) && name[k] != '_') {
            return -1;
        }
    }
    return std::stoll(name.substr(stem.size(), end - stem.size()));
}

}  // namespace

std::string pictureLabel(const std::vector<std::string>& names, int position) {
    if (position < 0 || static_cast<size_t>(position) >= names.size()) {
        return std::to_string(position);
    }
    const std::string& name = names[static_cast<size_t>(position)];
    const long long number = captureNumber(name);
    return std::to_string(number >= 0 ? number : position) + " (" + name + ")";
}

std::string usedPictureLabel(const std::vector<std::string>& names, const std::vector<int>& used, int view) {
    if (view < 0 || static_cast<size_t>(view) >= used.size()) {
        return std::to_string(view);
    }
    return pictureLabel(names, used[static_cast<size_t>(view)]);
}

}  // namespace velk

namespace velk {

std::string labelAt(const std::vector<std::string>& labels, int index) {
    if (index < 0 || static_cast<size_t>(index) >= labels.size()) {
        return std::to_string(index);
    }
    return labels[static_cast<size_t>(index)];
}

std::vector<std::string> pictureLabels(const std::vector<std::string>& names, const std::vector<int>& positions) {
    std::vector<std::string> labels;
    if (names.empty()) {
        return labels;
    }
    for (int position : positions) {
        labels.push_back(pictureLabel(names, position));
    }
    return labels;
}

std::vector<std::string> namesAt(const std::vector<std::string>& names, const std::vector<int>& positions) {
    std::vector<std::string> picked;
    if (names.empty()) {
        return picked;
    }
    for (int position : positions) {
        picked.push_back(position >= 0 && static_cast<size_t>(position) < names.size()
                             ? names[static_cast<size_t>(position)]
                             : std::to_string(position));
    }
    return picked;
}

}  // namespace velk
