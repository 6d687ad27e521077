// Coverage-guided fuzzing of the .npz reader (libFuzzer). Every input is tried as a
// whole archive, the way read_npz_array reads calibration_data.npz, and as a bare
// .npy blob. Refusals are the documented exceptions; anything else (a crash, a
// sanitizer report, another exception type, an array whose element count does not
// match its shape) is a finding. A short round trip of the blob writer rides along.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "io/npy_blob.hpp"
#include "io/zip_archive.hpp"

namespace {

using velk::io::Bytes;
using velk::io::NpyArray;

void requireConsistent(const NpyArray& array) {
    std::uint64_t count = 1;
    bool overflow = false;
    bool zero = false;
    for (const std::uint64_t dimension : array.shape) {
        zero = zero || dimension == 0;
        overflow = overflow || __builtin_mul_overflow(count, dimension, &count);
    }
    if (zero) {
        count = 0;
    } else if (overflow) {
        std::abort();  // no archive holds that many elements
    }
    if (array.data.size() != count) {
        std::abort();
    }
}

template <typename Read>
void expectOnlyRefusals(Read read) {
    try {
        requireConsistent(read());
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
}

// Shape and values from the input, written and read back: must be identical.
void roundTrip(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return;
    }
    std::vector<std::uint64_t> shape(data[0] % 5);
    std::size_t count = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        shape[i] = (i + 1 < size ? data[i + 1] : 0) % 7;
        count *= shape[i];
    }
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t bits = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            bits = (bits << 8) | data[(i * 8 + b) % size];
        }
        std::memcpy(&values[i], &bits, sizeof bits);
    }
    const NpyArray back = velk::io::parse_npy_blob(velk::io::build_npy_blob(shape, values));
    if (back.shape != shape || back.data.size() != values.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (std::memcmp(&back.data[i], &values[i], sizeof(double)) != 0) {  // NaN payloads too
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes bytes(data, data + size);
    expectOnlyRefusals([&] {
        const velk::io::ZipEntryLocation location = velk::io::find_zip_entry(bytes, "robot_T_tcp_list.npy");
        return velk::io::parse_npy_blob(velk::io::extract_zip_entry(bytes, location));
    });
    expectOnlyRefusals([&] { return velk::io::parse_npy_blob(bytes); });
    roundTrip(data, size);
    return 0;
}
