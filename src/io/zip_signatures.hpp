#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::io {

// Record signatures and fixed record sizes of the ZIP format.
inline constexpr std::uint8_t kLocalHeaderSignature[4] = {0x50, 0x4B, 0x03, 0x04};
inline constexpr std::uint8_t kDirectoryRecordSignature[4] = {0x50, 0x4B, 0x01, 0x02};
inline constexpr std::uint8_t kEndRecordSignature[4] = {0x50, 0x4B, 0x05, 0x06};

inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::size_t kDirectoryRecordSize = 46;
inline constexpr std::size_t kEndRecordSize = 22;

inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;

}  // namespace velk::io
