#include "io/npz.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace velk::io {
namespace {

Bytes readBinaryFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("npz: cannot open " + path.string() + " for reading");
    }
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string entryName(const std::string& key) {
    return key + ".npy";
}

}  // namespace

void write_npz_array(const fs::path& path, const std::string& key, const std::vector<std::uint64_t>& shape,
                     const std::vector<double>& data) {
    write_single_entry_zip(path, entryName(key), build_npy_blob(shape, data));
}

NpyArray read_npz_array(const fs::path& path, const std::string& key) {
    const Bytes archive = readBinaryFile(path);
    const ZipEntryLocation location = find_zip_entry(archive, entryName(key));
    return parse_npy_blob(extract_zip_entry(archive, location));
}

}  // namespace velk::io
