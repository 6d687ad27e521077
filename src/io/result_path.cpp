#include "io/result_path.hpp"

namespace fs = std::filesystem;

namespace velk::io {

fs::path resolveSavePath(const fs::path& output_path, const std::string& default_name) {
    fs::path file = output_path;
    if (fs::is_directory(output_path) || !output_path.has_extension()) {
        file = output_path / default_name;
    }
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path());
    }
    return file;
}

fs::path resolveLoadPath(const fs::path& input_path, const std::string& default_name) {
    return fs::is_directory(input_path) ? input_path / default_name : input_path;
}

}  // namespace velk::io
