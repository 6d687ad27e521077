#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "io/npy_blob.hpp"
#include "io/zip_archive.hpp"

namespace velk::io {

// Writes a one-entry .npz archive: the float64 array stored uncompressed under
// key + ".npy". The same input always gives the same bytes. Replaces an existing
// file; does not create folders. Throws std::runtime_error "npz: ..." when the
// array does not fit the format or the file cannot be opened or written.
void write_npz_array(const std::filesystem::path& path, const std::string& key, const std::vector<std::uint64_t>& shape,
                     const std::vector<double>& data);

// Reads the float64 array stored under key + ".npy" from a .npz archive (stored or
// deflated entries, any number of them). Throws std::runtime_error "npz: ..." when
// the file cannot be read or holds no such readable array.
NpyArray read_npz_array(const std::filesystem::path& path, const std::string& key);

}  // namespace velk::io
