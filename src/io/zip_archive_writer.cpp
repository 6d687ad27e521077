#include <limits>
#include <stdexcept>

#include <zlib.h>

#include "io/replaced_file.hpp"
#include "io/zip_archive.hpp"
#include "io/zip_signatures.hpp"

namespace fs = std::filesystem;

namespace velk::io {
namespace {

constexpr std::uint16_t kVersion20 = 20;
constexpr std::uint16_t kDosDate19800101 = 0x0021;

void appendSignature(Bytes& bytes, const std::uint8_t (&signature)[4]) {
    bytes.insert(bytes.end(), std::begin(signature), std::end(signature));
}

// Sizes, name length and offsets must fit their 16- and 32-bit fields; there is no
// ZIP64 here, and a truncated field would make an archive that reads back wrong.
// The fields a local header and its central-directory record share, from
// "version needed to extract" to "extra field length", for a stored entry.
void appendStoredEntryFields(Bytes& bytes, std::uint32_t crc, std::uint32_t size, std::uint16_t nameLength) {
    appendUint16(bytes, kVersion20);  // version needed to extract
    appendUint16(bytes, 0);           // flags
    appendUint16(bytes, kMethodStored);
    appendUint16(bytes, 0);  // time
    appendUint16(bytes, kDosDate19800101);
    appendUint32(bytes, crc);
    appendUint32(bytes, size);  // compressed
    appendUint32(bytes, size);  // uncompressed
    appendUint16(bytes, nameLength);
    appendUint16(bytes, 0);  // extra field length
}

void checkFits(const std::string& entry_name, const Bytes& blob) {
    constexpr std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
    if (entry_name.size() > std::numeric_limits<std::uint16_t>::max()) {
        throw std::runtime_error("npz: entry name of " + std::to_string(entry_name.size()) +
                                 " bytes is too long for a ZIP archive");
    }
    const std::uint64_t directoryOffset = kLocalHeaderSize + entry_name.size() + std::uint64_t{blob.size()};
    if (blob.size() > max32 || directoryOffset > max32) {
        throw std::runtime_error("npz: array of " + std::to_string(blob.size()) +
                                 " bytes is too large for a ZIP archive without ZIP64");
    }
}

}  // namespace

void write_single_entry_zip(const fs::path& path, const std::string& entry_name, const Bytes& blob) {
    checkFits(entry_name, blob);
    const auto nameLength = static_cast<std::uint16_t>(entry_name.size());
    const auto blobSize = static_cast<std::uint32_t>(blob.size());
    const auto crc = static_cast<std::uint32_t>(crc32(0L, blob.data(), blobSize));

    Bytes file;
    file.reserve(kLocalHeaderSize + kDirectoryRecordSize + kEndRecordSize + 2 * entry_name.size() + blob.size());
    appendSignature(file, kLocalHeaderSignature);
    appendStoredEntryFields(file, crc, blobSize, nameLength);
    file.insert(file.end(), entry_name.begin(), entry_name.end());
    file.insert(file.end(), blob.begin(), blob.end());

    const auto directoryOffset = static_cast<std::uint32_t>(file.size());
    appendSignature(file, kDirectoryRecordSignature);
    appendUint16(file, kVersion20);  // version made by
    appendStoredEntryFields(file, crc, blobSize, nameLength);
    appendUint16(file, 0);  // comment length
    appendUint16(file, 0);  // disk number start
    appendUint16(file, 0);  // internal attributes
    appendUint32(file, 0);  // external attributes
    appendUint32(file, 0);  // local header offset
    file.insert(file.end(), entry_name.begin(), entry_name.end());
    const auto directorySize = static_cast<std::uint32_t>(file.size() - directoryOffset);

    appendSignature(file, kEndRecordSignature);
    appendUint16(file, 0);  // this disk
    appendUint16(file, 0);  // disk where the directory starts
    appendUint16(file, 1);  // entries on this disk
    appendUint16(file, 1);  // entries in total
    appendUint32(file, directorySize);
    appendUint32(file, directoryOffset);
    appendUint16(file, 0);  // comment length

    switch (replaceFile(path, file.data(), file.size())) {
        case Replacement::Done: return;
        case Replacement::NotOpened: throw std::runtime_error("npz: cannot open " + path.string() + " for writing");
        case Replacement::NotWritten: throw std::runtime_error("npz: cannot write " + path.string());
    }
}

}  // namespace velk::io
