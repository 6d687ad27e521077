#include "io/npy_blob.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace velk::io {
namespace {

const std::uint8_t kMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
constexpr std::size_t kVersion1Prefix = 10;  // magic, version, 16-bit header length
constexpr std::size_t kVersion2Prefix = 12;  // magic, version, 32-bit header length
constexpr std::size_t kAlignment = 64;

std::string shapeText(const std::vector<std::uint64_t>& shape) {
    std::string text;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += std::to_string(shape[i]);
        if (i + 1 < shape.size() || shape.size() == 1) {
            text += ", ";
        }
    }
    return text;
}

// The header text: the dictionary, spaces up to the alignment, a line feed.
std::string paddedHeader(const std::vector<std::uint64_t>& shape) {
    std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (" + shapeText(shape) + "), }";
    const std::size_t unpadded = header.size() + kVersion1Prefix + 1;
    const std::size_t padded = (unpadded + kAlignment - 1) / kAlignment * kAlignment;
    header.append(padded - unpadded, ' ');
    header.push_back('\n');
    return header;
}

// std::stoull's rules (leading blanks and a sign accepted, trailing text ignored)
// with fixed messages.
std::uint64_t parseDimension(const std::string& piece) {
    const char* begin = piece.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    if (end == begin) {
        throw std::invalid_argument("invalid stoull argument");
    }
    if (errno == ERANGE) {
        throw std::out_of_range("stoull argument out of range");
    }
    return value;
}

std::string trimBlanks(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool isFortranOrder(const std::string& header) {
    if (header.size() < 15) {
        return false;
    }
    const std::size_t key = header.find("'fortran_order'");
    if (key == std::string::npos) {
        return false;
    }
    const std::size_t isTrue = header.find("True", key);
    const std::size_t comma = header.find(',', key);
    return isTrue != std::string::npos && (comma == std::string::npos || isTrue < comma);
}

std::vector<std::uint64_t> parseShape(const std::string& header) {
    const std::size_t key = header.size() >= 7 ? header.find("'shape'") : std::string::npos;
    if (key == std::string::npos) {
        throw std::runtime_error("npz: missing 'shape' in npy header");
    }
    const std::size_t open = header.find('(', key);
    const std::size_t close = open == std::string::npos ? std::string::npos : header.find(')', open);
    if (close == std::string::npos) {
        throw std::runtime_error("npz: malformed 'shape' tuple in npy header");
    }
    std::vector<std::uint64_t> shape;
    const std::string inner = header.substr(open + 1, close - open - 1);
    std::size_t start = 0;
    while (start <= inner.size()) {
        std::size_t comma = inner.find(',', start);
        if (comma == std::string::npos) {
            comma = inner.size();
        }
        const std::string piece = trimBlanks(inner.substr(start, comma - start));
        if (!piece.empty()) {
            shape.push_back(parseDimension(piece));
        }
        start = comma + 1;
    }
    return shape;
}

// The element count; the largest 64-bit value when the product does not fit in 64 bits
// (no archive can hold that many elements). Any zero dimension makes it 0.
std::uint64_t elementCount(const std::vector<std::uint64_t>& shape) {
    std::uint64_t count = 1;
    bool overflow = false;
    for (const std::uint64_t dimension : shape) {
        if (dimension == 0) {
            return 0;
        }
        if (count > std::numeric_limits<std::uint64_t>::max() / dimension) {
            overflow = true;
        } else {
            count *= dimension;
        }
    }
    return overflow ? std::numeric_limits<std::uint64_t>::max() : count;
}

}  // namespace

Bytes build_npy_blob(const std::vector<std::uint64_t>& shape, const std::vector<double>& data) {
    const std::string header = paddedHeader(shape);
    if (header.size() > std::numeric_limits<std::uint16_t>::max()) {
        throw std::runtime_error("npz: .npy header of " + std::to_string(header.size()) +
                                 " bytes does not fit a 16-bit header length");
    }
    Bytes blob(std::begin(kMagic), std::end(kMagic));
    blob.reserve(kVersion1Prefix + header.size() + 8 * data.size());
    blob.push_back(1);
    blob.push_back(0);
    appendUint16(blob, static_cast<std::uint16_t>(header.size()));
    blob.insert(blob.end(), header.begin(), header.end());
    for (const double value : data) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        appendUint64(blob, bits);
    }
    return blob;
}

NpyArray parse_npy_blob(const Bytes& blob) {
    const std::size_t size = blob.size();
    if (size < kVersion1Prefix || std::memcmp(blob.data(), kMagic, sizeof kMagic) != 0) {
        throw std::runtime_error("npz: not a valid .npy blob");
    }
    const bool wideHeader = blob[6] >= 2;
    const std::size_t prefix = wideHeader ? kVersion2Prefix : kVersion1Prefix;
    if (size < prefix) {
        throw std::runtime_error("npz: truncated .npy header");
    }
    const std::uint64_t headerLength = wideHeader ? readUint32(blob, 8) : readUint16(blob, 8);
    if (size - prefix < headerLength) {
        throw std::runtime_error("npz: truncated .npy header dict");
    }
    const auto headerBegin = blob.begin() + static_cast<std::ptrdiff_t>(prefix);
    const std::string header(headerBegin, headerBegin + static_cast<std::ptrdiff_t>(headerLength));

    if (header.find("'descr': '<f8'") == std::string::npos) {
        throw std::runtime_error("npz: only little-endian float64 (\"<f8\") arrays are supported");
    }
    if (isFortranOrder(header)) {
        throw std::runtime_error("npz: fortran-order arrays are not supported");
    }
    NpyArray array;
    array.shape = parseShape(header);

    const std::uint64_t count = elementCount(array.shape);
    const std::uint64_t dataOffset = prefix + headerLength;
    if ((size - dataOffset) / 8 < count) {
        throw std::runtime_error("npz: .npy data shorter than shape implies");
    }
    array.data.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < array.data.size(); ++i) {
        std::uint64_t bits = 0;
        for (int byte = 7; byte >= 0; --byte) {
            bits = (bits << 8) | blob[static_cast<std::size_t>(dataOffset) + 8 * i + static_cast<std::size_t>(byte)];
        }
        std::memcpy(&array.data[i], &bits, sizeof bits);
    }
    return array;
}

}  // namespace velk::io
