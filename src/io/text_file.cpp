#include "io/text_file.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "io/replaced_file.hpp"

namespace fs = std::filesystem;

namespace velk::io {

void replaceTextFile(const fs::path& path, const std::string& text) {
    switch (replaceFile(path, text.data(), text.size())) {
        case Replacement::Done: return;
        case Replacement::NotOpened: throw std::runtime_error("io: cannot open " + path.string() + " for writing");
        case Replacement::NotWritten: throw std::runtime_error("io: cannot write " + path.string());
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
