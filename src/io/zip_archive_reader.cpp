#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <zlib.h>

#include "io/zip_archive.hpp"
#include "io/zip_signatures.hpp"

namespace velk::io {
namespace {

// How far before the end the end-of-central-directory record is looked for: its
// 22 bytes plus the longest comment fit well within this.
constexpr std::size_t kEndRecordSearchSpan = 0x10800;

// Deflate cannot expand more than 1032-fold (a 258-byte match in two bits); a larger
// declared size cannot be honest, and is refused before anything is allocated.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

bool hasSignature(const Bytes& bytes, std::uint64_t offset, const std::uint8_t (&signature)[4]) {
    return std::memcmp(bytes.data() + offset, signature, 4) == 0;
}

std::size_t findEndRecord(const Bytes& archive) {
    const std::size_t size = archive.size();
    if (size >= kEndRecordSize) {
        const std::size_t stop = size > kEndRecordSearchSpan ? size - kEndRecordSearchSpan : 0;
        for (std::size_t offset = size - kEndRecordSize;; --offset) {
            if (hasSignature(archive, offset, kEndRecordSignature)) {
                return offset;
            }
            if (offset == stop) {
                break;
            }
        }
    }
    throw std::runtime_error("npz: not a valid ZIP archive (no EOCD record)");
}

[[noreturn]] void malformedDirectory() {
    throw std::runtime_error("npz: malformed ZIP central directory");
}

Bytes inflateEntry(const std::uint8_t* compressed, const ZipEntryLocation& location) {
    const std::uint64_t declared = location.uncompressed_size;
    if (declared > kMaxDeflateRatio * (static_cast<std::uint64_t>(location.compressed_size) + 1)) {
        throw std::runtime_error("npz: zlib inflate failed on entry");
    }
    Bytes output(location.uncompressed_size, 0);
    std::uint8_t spare = 0;  // zlib refuses a null output pointer even for zero bytes
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        throw std::runtime_error("npz: inflateInit2 failed");
    }
    stream.next_in = const_cast<Bytef*>(compressed);
    stream.avail_in = location.compressed_size;
    stream.next_out = output.empty() ? &spare : output.data();
    stream.avail_out = location.uncompressed_size;
    const int result = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != location.uncompressed_size) {
        throw std::runtime_error("npz: zlib inflate failed on entry");
    }
    return output;
}

// A flipped bit in a stored entry still parses as numbers: only the checksum tells.
void checkCrc(const Bytes& entry, const ZipEntryLocation& location) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes the length as a 32-bit count; ZIP entries here are below 4 GiB (the directory's sizes are 32-bit).
    crc = crc32(crc, entry.empty() ? Z_NULL : entry.data(), static_cast<uInt>(entry.size()));
    if (static_cast<std::uint32_t>(crc) != location.crc32) {
        throw std::runtime_error("npz: entry '" + location.name +
                                 "' fails its CRC-32 check: the archive is corrupt (write it again)");
    }
}

}  // namespace

ZipEntryLocation find_zip_entry(const Bytes& archive, const std::string& entry_name) {
    const std::size_t endRecord = findEndRecord(archive);
    const std::uint16_t entryCount = readUint16(archive, endRecord + 10);
    std::uint64_t offset = readUint32(archive, endRecord + 16);
    const std::uint64_t size = archive.size();

    for (std::uint16_t i = 0; i < entryCount; ++i) {
        if (offset + kDirectoryRecordSize > size || !hasSignature(archive, offset, kDirectoryRecordSignature)) {
            malformedDirectory();
        }
        const std::size_t record = static_cast<std::size_t>(offset);
        const std::uint16_t nameLength = readUint16(archive, record + 28);
        const std::uint16_t extraLength = readUint16(archive, record + 30);
        const std::uint16_t commentLength = readUint16(archive, record + 32);
        if (offset + kDirectoryRecordSize + nameLength > size) {
            malformedDirectory();
        }
        const auto name = archive.begin() + static_cast<std::ptrdiff_t>(record + kDirectoryRecordSize);
        if (nameLength == entry_name.size() && std::equal(entry_name.begin(), entry_name.end(), name)) {
            ZipEntryLocation location;
            location.name = entry_name;
            location.method = readUint16(archive, record + 10);
            location.crc32 = readUint32(archive, record + 16);
            location.compressed_size = readUint32(archive, record + 20);
            location.uncompressed_size = readUint32(archive, record + 24);
            location.local_header_offset = readUint32(archive, record + 42);
            return location;
        }
        offset += kDirectoryRecordSize + nameLength + extraLength + commentLength;
    }
    throw std::runtime_error("npz: entry '" + entry_name + "' not found in archive");
}

Bytes extract_zip_entry(const Bytes& archive, const ZipEntryLocation& location) {
    const std::uint64_t size = archive.size();
    const std::uint64_t header = location.local_header_offset;
    if (header + kLocalHeaderSize > size || !hasSignature(archive, header, kLocalHeaderSignature)) {
        throw std::runtime_error("npz: malformed ZIP local file header");
    }
    const std::size_t record = static_cast<std::size_t>(header);
    const std::uint64_t dataStart =
        header + kLocalHeaderSize + readUint16(archive, record + 26) + readUint16(archive, record + 28);
    if (dataStart + location.compressed_size > size) {
        throw std::runtime_error("npz: ZIP entry data runs past end of file");
    }
    const auto data = archive.begin() + static_cast<std::ptrdiff_t>(dataStart);
    Bytes entry;
    switch (location.method) {
        case kMethodStored: entry = Bytes(data, data + static_cast<std::ptrdiff_t>(location.compressed_size)); break;
        case kMethodDeflated: entry = inflateEntry(archive.data() + dataStart, location); break;
        default: throw std::runtime_error("npz: unsupported ZIP compression method " + std::to_string(location.method));
    }
    checkCrc(entry, location);
    return entry;
}

}  // namespace velk::io
