#include <string>

#include <gtest/gtest.h>

#include "core/rotation_variety.hpp"

namespace {

using velk::quality::RotationVarietyStats;

const std::string kHeader =
    "============================================================\n"
    "ROTATION VARIETY OF CAPTURED CAMERA POSES\n"
    "============================================================\n";

RotationVarietyStats statsWithRatio(double ratio) {
    RotationVarietyStats stats;
    stats.num_motions = 14;
    stats.singular_values = {1.0, 0.5, ratio};
    stats.axis_span_ratio = ratio;
    stats.angle_mean_deg = 12.345;
    stats.angle_max_deg = 30.0;
    return stats;
}

struct VerdictCase {
    double ratio;
    std::string verdict;
};

class Verdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(Verdict, FollowsTheRatioBands) {
    const std::string text = velk::quality::format_rotation_variety(statsWithRatio(GetParam().ratio));
    ASSERT_EQ(text.rfind("  >>> ", text.size() - 2) != std::string::npos, true);
    EXPECT_NE(text.find(GetParam().verdict), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - GetParam().verdict.size()), GetParam().verdict);
}

const std::string kPoor =
    "  >>> POOR rotation variety  -  motions cluster in a plane.\n"
    "  >>> Hand-eye is poorly observable in one axis; expect bias.\n";
const std::string kMarginal = "  >>> Marginal rotation variety  -  possible bias in one axis.\n";
const std::string kHealthy = "  >>> Rotation variety is healthy.\n";

INSTANTIATE_TEST_SUITE_P(Boundaries, Verdict,
                         ::testing::Values(VerdictCase{0.0, kPoor}, VerdictCase{0.1499999, kPoor},
                                           VerdictCase{0.15, kMarginal}, VerdictCase{0.3499999, kMarginal},
                                           VerdictCase{0.35, kHealthy}, VerdictCase{1.0, kHealthy}),
                         [](const ::testing::TestParamInfo<VerdictCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(RotationVarietyText, WholeTextWithNumberFormats) {
    const std::string text = velk::quality::format_rotation_variety(statsWithRatio(0.2));
    EXPECT_EQ(text, kHeader +
                        "  Inter-frame motions analyzed: 14\n"
                        "  Mean inter-frame rotation:    12.35 deg\n"
                        "  Max  inter-frame rotation:    30.00 deg\n"
                        "  Singular values of rvecs:     [1.000, 0.500, 0.200]\n"
                        "  Axis-spread ratio (sv_min/sv_max): 0.200\n" +
                        kMarginal);
}

TEST(RotationVarietyText, WithoutStats) {
    EXPECT_EQ(velk::quality::format_rotation_variety(std::nullopt), kHeader + "  Not enough motions to analyze.\n");
}

}  // namespace
