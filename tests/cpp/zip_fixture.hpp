#pragma once

// Hand-built ZIP archives and .npy blobs for tests of the reader: every field can be
// set, including the ones a well-behaved writer never produces.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include "io/little_endian.hpp"

namespace velk::test {

using io::Bytes;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes rawDeflate(const Bytes& input) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    Bytes output(deflateBound(&stream, static_cast<uLong>(input.size())));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

inline std::vector<double> iota(std::size_t count, double first = 0.5) {
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = first + static_cast<double>(i) * 1.25;
    }
    return values;
}

// A .npy blob with a free-form header; version 1 (16-bit length) or 2 (32-bit).
inline Bytes npyBlob(const std::string& header, const std::vector<double>& data, std::uint8_t major = 1) {
    Bytes blob = {0x93, 'N', 'U', 'M', 'P', 'Y', major, 0};
    if (major >= 2) {
        io::appendUint32(blob, static_cast<std::uint32_t>(header.size()));
    } else {
        io::appendUint16(blob, static_cast<std::uint16_t>(header.size()));
    }
    blob.insert(blob.end(), header.begin(), header.end());
    for (const double value : data) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        io::appendUint64(blob, bits);
    }
    return blob;
}

inline std::string f8Header(const std::string& shape) {
    return "{'descr': '<f8', 'fortran_order': False, 'shape': " + shape + ", }\n";
}

struct TestEntry {
    std::string name;
    Bytes content;  // uncompressed bytes
    bool deflated = false;
    std::uint16_t method_override = 0xFFFF;  // stored in both headers when set
    bool local_sizes_unknown = false;        // 0xFFFFFFFF sizes and a zip64-style extra field locally
    bool data_descriptor = false;            // flag bit 3, zero local sizes, a descriptor after the data
    std::int64_t uncompressed_size_override = -1;
    std::int64_t compressed_size_override = -1;
    std::int64_t name_length_override = -1;  // central directory only
};

struct TestArchive {
    std::vector<TestEntry> entries;
    std::string comment;
    std::int64_t entry_count_override = -1;
    std::int64_t directory_offset_override = -1;
    std::int64_t local_offset_override = -1;  // for the first entry
};

inline Bytes buildArchive(const TestArchive& archive) {
    Bytes file;
    Bytes directory;
    for (std::size_t index = 0; index < archive.entries.size(); ++index) {
        const TestEntry& entry = archive.entries[index];
        const Bytes data = entry.deflated ? rawDeflate(entry.content) : entry.content;
        const std::uint16_t method = entry.method_override != 0xFFFF ? entry.method_override : (entry.deflated ? 8 : 0);
        const auto crc =
            static_cast<std::uint32_t>(crc32(0L, entry.content.data(), static_cast<uInt>(entry.content.size())));
        const auto compressed = static_cast<std::uint32_t>(
            entry.compressed_size_override >= 0 ? entry.compressed_size_override : data.size());
        const auto uncompressed = static_cast<std::uint32_t>(
            entry.uncompressed_size_override >= 0 ? entry.uncompressed_size_override : entry.content.size());
        const std::uint16_t flags = entry.data_descriptor ? 0x0008 : 0;
        std::uint32_t localOffset = static_cast<std::uint32_t>(file.size());
        if (index == 0 && archive.local_offset_override >= 0) {
            localOffset = static_cast<std::uint32_t>(archive.local_offset_override);
        }

        Bytes extra;
        if (entry.local_sizes_unknown) {
            io::appendUint16(extra, 0x0001);
            io::appendUint16(extra, 16);
            io::appendUint64(extra, uncompressed);
            io::appendUint64(extra, compressed);
        }
        file.insert(file.end(), {0x50, 0x4B, 0x03, 0x04});
        io::appendUint16(file, 45);
        io::appendUint16(file, flags);
        io::appendUint16(file, method);
        io::appendUint16(file, 0);
        io::appendUint16(file, 0x0021);
        const bool hideSizes = entry.data_descriptor;
        io::appendUint32(file, hideSizes ? 0 : crc);
        io::appendUint32(file, entry.local_sizes_unknown ? 0xFFFFFFFF : (hideSizes ? 0 : compressed));
        io::appendUint32(file, entry.local_sizes_unknown ? 0xFFFFFFFF : (hideSizes ? 0 : uncompressed));
        io::appendUint16(file, static_cast<std::uint16_t>(entry.name.size()));
        io::appendUint16(file, static_cast<std::uint16_t>(extra.size()));
        file.insert(file.end(), entry.name.begin(), entry.name.end());
        file.insert(file.end(), extra.begin(), extra.end());
        file.insert(file.end(), data.begin(), data.end());
        if (entry.data_descriptor) {
            file.insert(file.end(), {0x50, 0x4B, 0x07, 0x08});
            io::appendUint32(file, crc);
            io::appendUint32(file, compressed);
            io::appendUint32(file, uncompressed);
        }

        directory.insert(directory.end(), {0x50, 0x4B, 0x01, 0x02});
        io::appendUint16(directory, 45);
        io::appendUint16(directory, 45);
        io::appendUint16(directory, flags);
        io::appendUint16(directory, method);
        io::appendUint16(directory, 0);
        io::appendUint16(directory, 0x0021);
        io::appendUint32(directory, crc);
        io::appendUint32(directory, compressed);
        io::appendUint32(directory, uncompressed);
        const std::int64_t nameLength =
            entry.name_length_override >= 0 ? entry.name_length_override : static_cast<std::int64_t>(entry.name.size());
        io::appendUint16(directory, static_cast<std::uint16_t>(nameLength));
        io::appendUint16(directory, 0);
        io::appendUint16(directory, 3);  // a short comment, skipped over when searching
        io::appendUint16(directory, 0);
        io::appendUint16(directory, 0);
        io::appendUint32(directory, 0);
        io::appendUint32(directory, localOffset);
        directory.insert(directory.end(), entry.name.begin(), entry.name.end());
        directory.insert(directory.end(), {'c', 'm', 't'});
    }
    const auto directoryOffset = static_cast<std::uint32_t>(
        archive.directory_offset_override >= 0 ? archive.directory_offset_override : file.size());
    const auto directorySize = static_cast<std::uint32_t>(directory.size());
    file.insert(file.end(), directory.begin(), directory.end());
    const auto count = static_cast<std::uint16_t>(archive.entry_count_override >= 0 ? archive.entry_count_override
                                                                                    : archive.entries.size());
    file.insert(file.end(), {0x50, 0x4B, 0x05, 0x06});
    io::appendUint16(file, 0);
    io::appendUint16(file, 0);
    io::appendUint16(file, count);
    io::appendUint16(file, count);
    io::appendUint32(file, directorySize);
    io::appendUint32(file, directoryOffset);
    io::appendUint16(file, static_cast<std::uint16_t>(archive.comment.size()));
    file.insert(file.end(), archive.comment.begin(), archive.comment.end());
    return file;
}

inline Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velk::test
