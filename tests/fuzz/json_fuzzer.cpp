// Coverage-guided fuzzing of the JSON readers (libFuzzer): hand_eye.json,
// multi_camera_calibration.json and the benchmark's results file. The first input
// byte picks the reader, the rest is the file it reads. Refusals must be
// std::runtime_error or std::invalid_argument whose message names the file; anything
// else (a crash, a sanitizer report, another exception type, a message without the
// file, a loaded matrix that is not 2-D double) is a finding. A save-and-load round
// trip of a record built from the same bytes rides along: it must come back unchanged.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "io/result_record_files.hpp"
#include "quality/benchmark_json.hpp"
#include "quality/calibration_benchmark.hpp"

namespace fs = std::filesystem;

namespace {

fs::path gFolder;

enum class Reader : std::uint8_t { HandEye, MultiCamera, Benchmark, EyeToHand, Count };

// Reads fuzz bytes in order; past the end it yields zeros.
class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

    double number() {
        std::uint64_t bits = 0;
        for (int b = 0; b < 8; ++b) {
            bits = (bits << 8) | byte();
        }
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    double finiteNumber() {
        const double value = number();
        return std::isfinite(value) ? value : 0.0;
    }

    int integer() {
        std::uint32_t bits = 0;
        for (int b = 0; b < 4; ++b) {
            bits = (bits << 8) | byte();
        }
        std::int32_t value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    std::string text() {
        std::string value(byte() % 12, '\0');
        for (char& c : value) {
            c = static_cast<char>(byte());
        }
        return value;
    }

    cv::Mat matrix() {
        const int rows = byte() % 5;
        const int cols = rows == 0 ? 0 : 1 + byte() % 5;
        cv::Mat matrix(rows, cols, CV_64F);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                matrix.at<double>(r, c) = finiteNumber();
            }
        }
        return rows == 0 ? cv::Mat() : matrix;
    }

    cv::Mat rowVector() {
        const int count = byte() % 6;
        cv::Mat vector(1, count, CV_64F);
        for (int i = 0; i < count; ++i) {
            vector.at<double>(0, i) = finiteNumber();
        }
        return count == 0 ? cv::Mat() : vector;
    }

    std::vector<cv::Mat> matrices() {
        std::vector<cv::Mat> list(byte() % 4);
        for (cv::Mat& m : list) {
            m = matrix();
        }
        return list;
    }

    std::vector<double> errors() {
        std::vector<double> list(byte() % 4);
        for (double& e : list) {
            e = number();
        }
        return list;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

void writeFile(const fs::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::abort();
    }
}

// A refusal must be one of the library's two exception kinds and name the file.
template <typename Run>
bool refusedCleanly(const fs::path& file, const char* prefix, Run run) {
    try {
        run();
        return false;
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        if (message.rfind(prefix, 0) != 0 || message.find(file.string()) == std::string::npos) {
            std::fprintf(stderr, "finding: message does not name %s: %s\n", file.c_str(), message.c_str());
            std::abort();
        }
    } catch (const std::invalid_argument& error) {
        const std::string message = error.what();
        if (message.find(file.string()) == std::string::npos) {
            std::abort();
        }
    }
    return true;
}

void requireDoubleMatrix(const cv::Mat& matrix) {
    if (!matrix.empty() && (matrix.type() != CV_64F || matrix.dims != 2)) {
        std::abort();
    }
}

void requireDoubleMatrices(const std::vector<cv::Mat>& matrices) {
    for (const cv::Mat& matrix : matrices) {
        requireDoubleMatrix(matrix);
    }
}

bool sameMatrix(const cv::Mat& a, const cv::Mat& b) {
    if (a.empty() || b.empty()) {
        return a.empty() && b.empty();
    }
    return a.size() == b.size() && cv::countNonZero(a != b) == 0;
}

bool sameMatrices(const std::vector<cv::Mat>& a, const std::vector<cv::Mat>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!sameMatrix(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

bool sameErrors(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool bothMissing = !std::isfinite(a[i]) && std::isnan(b[i]);
        if (!bothMissing && a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

void readHandEye(const fs::path& file) {
    refusedCleanly(file, "io: ", [&] {
        const velk::io::HandEyeResultRecord record = velk::io::load_hand_eye_result(file);
        requireDoubleMatrices(record.tcp_T_camera_list);
    });
}

void readEyeToHand(const fs::path& file) {
    refusedCleanly(file, "io: ", [&] {
        const velk::io::EyeToHandResultRecord record = velk::io::load_eye_to_hand_result(file);
        requireDoubleMatrices(record.robot_T_camera_list);
        requireDoubleMatrix(record.tcp_T_target);
    });
}

void readMultiCamera(const fs::path& file) {
    refusedCleanly(file, "io: ", [&] {
        const velk::io::MultiCameraCalibrationRecord record = velk::io::load_multi_camera_calibration(file);
        requireDoubleMatrices(record.intrinsic_matrices);
        requireDoubleMatrices(record.reference_T_camera_list);
        for (const cv::Mat& coefficients : record.distortion_coefficients) {
            requireDoubleMatrix(coefficients);
            if (!coefficients.empty() && coefficients.rows != 1) {
                std::abort();
            }
        }
    });
}

void readBenchmark(const fs::path& file) {
    refusedCleanly(file, "[Benchmark] ", [&] {
        for (const velk::quality::BenchmarkResult& result : velk::quality::CalibrationBenchmark::load_json(file)) {
            requireDoubleMatrix(result.camera_matrix);
            requireDoubleMatrix(result.dist_coeffs);
        }
    });
}

void roundTripHandEye(ByteSource& bytes, const fs::path& file) {
    velk::io::HandEyeResultRecord record;
    record.reference_index = bytes.integer();
    record.num_cameras = bytes.integer();
    record.method = bytes.text();
    record.num_frames_used = bytes.integer();
    record.num_frames_total = bytes.integer();
    record.tcp_T_camera_list = bytes.matrices();
    if (refusedCleanly(file, "io: ", [&] { velk::io::save_hand_eye_result(file, record); })) {
        return;  // text that is not UTF-8
    }
    const velk::io::HandEyeResultRecord back = velk::io::load_hand_eye_result(file);
    if (back.reference_index != record.reference_index || back.num_cameras != record.num_cameras ||
        back.method != record.method || back.num_frames_used != record.num_frames_used ||
        back.num_frames_total != record.num_frames_total ||
        !sameMatrices(back.tcp_T_camera_list, record.tcp_T_camera_list)) {
        std::abort();
    }
}

void roundTripEyeToHand(ByteSource& bytes, const fs::path& file) {
    velk::io::EyeToHandResultRecord record;
    record.reference_index = bytes.integer();
    record.num_cameras = bytes.integer();
    record.method = bytes.text();
    record.num_frames_used = bytes.integer();
    record.num_frames_total = bytes.integer();
    record.robot_T_camera_list = bytes.matrices();
    record.tcp_T_target = bytes.matrix();
    if (refusedCleanly(file, "io: ", [&] { velk::io::save_eye_to_hand_result(file, record); })) {
        return;  // text that is not UTF-8
    }
    const velk::io::EyeToHandResultRecord back = velk::io::load_eye_to_hand_result(file);
    if (back.reference_index != record.reference_index || back.num_cameras != record.num_cameras ||
        back.method != record.method || back.num_frames_used != record.num_frames_used ||
        back.num_frames_total != record.num_frames_total ||
        !sameMatrices(back.robot_T_camera_list, record.robot_T_camera_list) ||
        !sameMatrix(back.tcp_T_target, record.tcp_T_target)) {
        std::abort();
    }
}

void roundTripMultiCamera(ByteSource& bytes, const fs::path& file) {
    velk::io::MultiCameraCalibrationRecord record;
    record.reference_index = bytes.integer();
    record.num_cameras = bytes.integer();
    record.intrinsic_matrices = bytes.matrices();
    record.distortion_coefficients.resize(bytes.byte() % 3);
    for (cv::Mat& coefficients : record.distortion_coefficients) {
        coefficients = bytes.rowVector();
    }
    record.reference_T_camera_list = bytes.matrices();
    record.intrinsic_reprojection_errors = bytes.errors();
    record.pair_reprojection_errors = bytes.errors();
    velk::io::save_multi_camera_calibration(file, record);
    const velk::io::MultiCameraCalibrationRecord back = velk::io::load_multi_camera_calibration(file);
    if (back.reference_index != record.reference_index || back.num_cameras != record.num_cameras ||
        !sameMatrices(back.intrinsic_matrices, record.intrinsic_matrices) ||
        !sameMatrices(back.distortion_coefficients, record.distortion_coefficients) ||
        !sameMatrices(back.reference_T_camera_list, record.reference_T_camera_list) ||
        !sameErrors(back.intrinsic_reprojection_errors, record.intrinsic_reprojection_errors) ||
        !sameErrors(back.pair_reprojection_errors, record.pair_reprojection_errors)) {
        std::abort();
    }
}

// The file holds rounded errors; a missing round trip (negative or not finite) reads as -1.
void roundTripBenchmark(ByteSource& bytes, const fs::path& file) {
    std::vector<velk::quality::BenchmarkResult> results(bytes.byte() % 3);
    for (velk::quality::BenchmarkResult& result : results) {
        result.backend_name = bytes.text();
        result.reprojection_error = bytes.number();
        result.held_out_reprojection_error = bytes.number();
        result.hand_eye_roundtrip_error = bytes.number();
        result.camera_matrix = bytes.matrix();
        result.dist_coeffs = bytes.rowVector();
        result.timestamp = bytes.text();
        result.image_count = bytes.integer();
    }
    if (refusedCleanly(file, "[Benchmark] ",
                       [&] { velk::quality::CalibrationBenchmark::save_json(results, file.string()); })) {
        return;
    }
    const auto back = velk::quality::CalibrationBenchmark::load_json(file.string());
    if (back.size() != results.size()) {
        std::abort();
    }
    const auto stored = [](double value, double whenNull) {
        const double rounded = velk::quality::roundToMicro(value);
        return std::isfinite(rounded) ? rounded : whenNull;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto& a = results[i];
        const auto& b = back[i];
        const double roundTrip = a.hand_eye_roundtrip_error < 0.0 ? -1.0 : stored(a.hand_eye_roundtrip_error, -1.0);
        if (b.backend_name != a.backend_name || b.timestamp != a.timestamp || b.image_count != a.image_count ||
            !sameErrors({stored(a.reprojection_error, nan)}, {b.reprojection_error}) ||
            b.held_out_reprojection_error != stored(a.held_out_reprojection_error, INFINITY) ||
            b.hand_eye_roundtrip_error != roundTrip || !sameMatrix(a.camera_matrix, b.camera_matrix) ||
            !sameMatrix(a.dist_coeffs, b.dist_coeffs)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "velk-json-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    gFolder = pattern;
    std::cerr.rdbuf(nullptr);  // the savers' log lines
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(gFolder, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto reader = static_cast<Reader>(data[0] % static_cast<std::uint8_t>(Reader::Count));
    const fs::path input = gFolder / "input.json";
    const fs::path output = gFolder / "output.json";
    writeFile(input, data + 1, size - 1);
    ByteSource bytes(data + 1, size - 1);
    switch (reader) {
        case Reader::HandEye:
            readHandEye(input);
            roundTripHandEye(bytes, output);
            break;
        case Reader::MultiCamera:
            readMultiCamera(input);
            roundTripMultiCamera(bytes, output);
            break;
        case Reader::EyeToHand:
            readEyeToHand(input);
            roundTripEyeToHand(bytes, output);
            break;
        case Reader::Benchmark:
        case Reader::Count:
            readBenchmark(input);
            roundTripBenchmark(bytes, output);
            break;
    }
    return 0;
}
