#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "io/little_endian.hpp"

namespace velk::io {

// Where one entry lies, as its central directory record says.
struct ZipEntryLocation {
    std::string name;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;  // of the uncompressed bytes
    std::uint32_t compressed_size = 0;
    std::uint32_t uncompressed_size = 0;
    std::uint32_t local_header_offset = 0;
};

// Looks the entry up (byte-exact name) in the central directory found through the
// end-of-central-directory record nearest the end of the archive. Throws
// std::runtime_error "npz: ..." when there is no such record, when a directory record
// (or its name) does not lie inside the archive, or when no entry has that name.
ZipEntryLocation find_zip_entry(const Bytes& archive, const std::string& entry_name);

// The entry's bytes: stored (method 0) or raw-deflated (method 8), with the sizes
// of the central directory; the local header only gives where the data starts.
// Throws std::runtime_error "npz: ..." for data outside the archive, other methods,
// a deflate stream that does not give exactly the declared size, or bytes whose CRC-32
// differs from the directory's (a corrupt archive).
Bytes extract_zip_entry(const Bytes& archive, const ZipEntryLocation& location);

// Writes an archive holding only this entry, stored, with a fixed time stamp, so the
// same input gives the same bytes. Replaces an existing file. Throws
// std::runtime_error "npz: ..." when the entry does not fit the 32-bit ZIP fields
// or when the file cannot be opened or written.
void write_single_entry_zip(const std::filesystem::path& path, const std::string& entry_name, const Bytes& blob);

}  // namespace velk::io
