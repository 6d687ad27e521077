#include "io/text_file.hpp"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace velk::io {
namespace {

fs::path temporarySibling(const fs::path& path) {
    std::random_device entropy;
    const fs::path name = "." + path.filename().string() + ".tmp" + std::to_string(entropy());
    return path.has_parent_path() ? path.parent_path() / name : name;
}

}  // namespace

void replaceTextFile(const fs::path& path, const std::string& text) {
    const fs::path temporary = temporarySibling(path);
    {
        std::ofstream out(temporary, std::ios::out | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("io: cannot open " + path.string() + " for writing");
        }
        out << text;
        out.flush();
        if (!out) {
            out.close();
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw std::runtime_error("io: cannot write " + path.string());
        }
    }
    std::error_code renameError;
    fs::rename(temporary, path, renameError);
    if (renameError) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw std::runtime_error("io: cannot open " + path.string() + " for writing");
    }
}

std::string readTextFile(const fs::path& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("io: cannot open " + path.string() + " for reading");
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace velk::io
