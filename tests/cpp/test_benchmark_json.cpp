#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "quality/benchmark_json.hpp"
#include "quality/utc_timestamp.hpp"

namespace {

using velk::quality::BenchmarkResult;
using velk::quality::benchmarkResultsJson;
using velk::quality::roundToMicro;

BenchmarkResult record(double heldOut, double roundtrip) {
    BenchmarkResult result;
    result.backend_name = "b";
    result.reprojection_error = 0.25;
    result.held_out_reprojection_error = heldOut;
    result.hand_eye_roundtrip_error = roundtrip;
    const float camera[] = {1000, 0, 640, 0, 1001, 480, 0, 0, 1};
    const double distortion[] = {-0.1, 0.01, 0.0, 0.0, 0.002};
    result.camera_matrix = cv::Mat(3, 3, CV_32F, const_cast<float*>(camera)).clone();
    result.dist_coeffs = cv::Mat(1, 5, CV_64F, const_cast<double*>(distortion)).clone();
    result.timestamp = "2026-01-02T03:04:05.000006+00:00";
    result.image_count = 12;
    return result;
}

TEST(RoundToMicro, HalvesGoAwayFromZero) {
    const double half = 12.5 / 1000000.0;
    ASSERT_EQ(half * 1000000.0, 12.5);  // the case really is a half
    EXPECT_EQ(roundToMicro(half), 13.0 / 1000000.0);
    EXPECT_EQ(roundToMicro(-half), -13.0 / 1000000.0);
    EXPECT_EQ(roundToMicro(0.1234564), 0.123456);
    EXPECT_EQ(roundToMicro(0.1234566), 0.123457);
}

struct NullCase {
    double held_out;
    double roundtrip;
    bool held_out_null;
    bool roundtrip_null;
};

class Nulls : public ::testing::TestWithParam<NullCase> {};

TEST_P(Nulls, StandForNotRunAndNotFinite) {
    const NullCase& c = GetParam();
    const std::string text = benchmarkResultsJson({record(c.held_out, c.roundtrip)}, "t").dump(2);
    const nlohmann::json entry = nlohmann::json::parse(text)["results"][0];
    EXPECT_EQ(entry["held_out_reprojection_error"].is_null(), c.held_out_null) << text;
    EXPECT_EQ(entry["hand_eye_roundtrip_error"].is_null(), c.roundtrip_null) << text;
    if (!c.roundtrip_null) {
        EXPECT_EQ(entry["hand_eye_roundtrip_error"].get<double>(), roundToMicro(c.roundtrip));
    }
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Values, Nulls,
                         ::testing::Values(NullCase{0.5, -1.0, false, true}, NullCase{kInf, 0.0, true, false},
                                           NullCase{kNan, kInf, true, true}, NullCase{0.1, 0.3333333333, false, false},
                                           NullCase{0.1, -0.000001, false, true}, NullCase{0.1, kNan, false, true}),
                         [](const ::testing::TestParamInfo<NullCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

struct TimeCase {
    long long micros_since_epoch;
    std::string text;
};

class Timestamp : public ::testing::TestWithParam<TimeCase> {};

TEST_P(Timestamp, UtcWithSixDigitMicroseconds) {
    const auto time = std::chrono::system_clock::time_point(std::chrono::microseconds(GetParam().micros_since_epoch));
    EXPECT_EQ(velk::quality::utcTimestamp(time), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Times, Timestamp,
                         ::testing::Values(TimeCase{42, "1970-01-01T00:00:00.000042+00:00"},
                                           TimeCase{1798694501042000LL, "2026-12-31T05:21:41.042000+00:00"},
                                           TimeCase{-1, "1969-12-31T23:59:59.999999+00:00"},
                                           TimeCase{86399999999LL, "1970-01-01T23:59:59.999999+00:00"}),
                         [](const ::testing::TestParamInfo<TimeCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

}  // namespace
