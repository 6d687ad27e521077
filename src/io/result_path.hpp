#pragma once

#include <filesystem>
#include <string>

namespace velk::io {

// Where a save goes: into an existing folder, into a folder to be created (a path
// without extension) under default_name, or to the path itself. Parent folders are created.
std::filesystem::path resolveSavePath(const std::filesystem::path& output_path, const std::string& default_name);

// Where a load reads from: default_name inside an existing folder, else the path itself.
std::filesystem::path resolveLoadPath(const std::filesystem::path& input_path, const std::string& default_name);

}  // namespace velk::io
