#pragma once

#include <filesystem>
#include <string>

namespace velk::io {

// Replaces the file with the text whole (replaceFile): written to a temporary file beside it and
// renamed over it, so a failed write leaves any earlier file untouched.
// Throws std::runtime_error "io: cannot open <path> for writing" (or "io: cannot write <path>").
void replaceTextFile(const std::filesystem::path& path, const std::string& text);

// The whole file; throws std::runtime_error "io: cannot open <path> for reading".
std::string readTextFile(const std::filesystem::path& path);

}  // namespace velk::io
