#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quality/method_comparison_report.hpp"

namespace {

using velk::quality::HandEyeMethodResult;
using velk::quality::HandEyeMethodResults;

const std::string kHeader =
    "============================================================\n"
    "HAND-EYE CROSS-METHOD COMPARISON\n"
    "============================================================\n"
    "  Method         x (m)   y (m)   z (m)     rx     ry     rz\n"
    "  ----------------------------------------------------------\n";
const std::string kRule = "  ----------------------------------------------------------\n";
const std::vector<std::string> kNames = {"ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"};

HandEyeMethodResult solved(const std::string& name, double rz, std::vector<double> translation = {0.03, -0.02, 0.08}) {
    HandEyeMethodResult result;
    result.method_name = name;
    result.pose_deg = {translation[0], translation[1], translation[2], 5.0, -3.0, rz};
    return result;
}

// The first rzs.size() solvers (in name order) succeed with these rz values; the others fail.
HandEyeMethodResults withRz(const std::vector<double>& rzs) {
    HandEyeMethodResults results;
    for (size_t k = 0; k < kNames.size(); ++k) {
        if (k < rzs.size()) {
            results[kNames[k]] = solved(kNames[k], rzs[k]);
        } else {
            results[kNames[k]] = std::nullopt;
        }
    }
    return results;
}

// Everything after the second rule: spread lines and verdict.
std::string summaryOf(const std::string& text) {
    const size_t first = text.find(kRule);
    const size_t second = text.find(kRule, first + kRule.size());
    return second == std::string::npos ? std::string() : text.substr(second + kRule.size());
}

std::string verdictOf(const std::string& text) {
    const size_t start = text.find("  >>> ");
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string allAgree(int count, const std::string& threshold, const std::string& median) {
    return "  >>> All " + std::to_string(count) + " methods agree to within ~" + threshold + " deg of median (" +
           median +
           " deg).\n"
           "      The data uniquely determines rz. If this differs from\n"
           "      visual ground truth, the bias is in the *data* (robot\n"
           "      kinematics or detection), not the solver.\n";
}

std::string noConsensus(const std::string& threshold) {
    return "  >>> No consensus  -  methods split into clusters with >" + threshold +
           " deg spread.\n"
           "      Solution is under-determined; capture more axis-diverse poses.\n";
}

struct VerdictCase {
    std::string label;
    std::vector<double> rzs;
    double threshold;
    std::string expected;
};

class ComparisonVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(ComparisonVerdict, FollowsTheMedianAndInlierRule) {
    const std::string text = velk::quality::format_method_comparison(withRz(GetParam().rzs), GetParam().threshold);
    EXPECT_EQ(verdictOf(text), GetParam().expected) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComparisonVerdict,
    ::testing::Values(VerdictCase{"SingleOutlier",
                                  {10.0, 10.2, 10.4, 10.5, 30.0},
                                  1.5,
                                  "  >>> 4-of-5 methods cluster near 10.40 deg; outlier(s): TSAI.\n"
                                  "      Trust the consensus value (10.40 deg). The\n"
                                  "      outlier likely hit a local optimum specific to its formulation.\n"},
                      VerdictCase{"SingleOutlierFirstInMapOrder",
                                  {-5.0, 10.2, 10.4, 10.5, 10.0},
                                  1.5,
                                  "  >>> 4-of-5 methods cluster near 10.20 deg; outlier(s): ANDREFF.\n"
                                  "      Trust the consensus value (10.20 deg). The\n"
                                  "      outlier likely hit a local optimum specific to its formulation.\n"},
                      VerdictCase{"TwoClustersNoInliers", {10.0, 10.0, 20.0, 20.0}, 1.5, noConsensus("1.50")},
                      VerdictCase{
                          "TwoClustersWideThreshold", {10.0, 10.0, 20.0, 20.0}, 5.0, allAgree(4, "5.00", "15.00")},
                      VerdictCase{"TwoOutliersOfFive", {10.0, 10.1, 10.2, 14.0, 30.0}, 1.5, noConsensus("1.50")},
                      VerdictCase{"TwoSolversFarApart", {10.0, 13.5}, 1.5, noConsensus("1.50")},
                      VerdictCase{"TwoSolversAtTwiceTheThreshold", {10.0, 13.0}, 1.5, allAgree(2, "1.50", "11.50")},
                      VerdictCase{"DeviationEqualToThreshold", {10.0, 11.5, 13.0}, 1.5, allAgree(3, "1.50", "11.50")},
                      VerdictCase{"JustBeyondThreshold", {10.0, 11.5, 13.0}, 1.4999, noConsensus("1.50")},
                      VerdictCase{"WrapsAroundAFullTurn", {179.5, -179.5}, 1.5, allAgree(2, "1.50", "180.00")},
                      VerdictCase{"AllAgree", {90.01, 90.02, 90.03, 90.0, 90.02}, 1.5, allAgree(5, "1.50", "90.02")}),
    [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.label; });

TEST(MethodComparisonText, WholeTextWithRowsAndSummary) {
    HandEyeMethodResults results = withRz({10.0, 10.25, 10.4, 10.75, 30.0});
    results["DANIILIDIS"] = solved("DANIILIDIS", 10.25, {0.033, -0.016, 0.08});
    results["HORAUD"] = std::nullopt;
    const std::string text = velk::quality::format_method_comparison(results, 1.5);
    // Median of 10.0, 10.25, 10.75, 30.0 is 10.5; the translation extent is (3, 4, 0) mm.
    EXPECT_EQ(text, kHeader +
                        "  ANDREFF       0.0300 -0.0200  0.0800   5.00  -3.00  10.00\n"
                        "  DANIILIDIS    0.0330 -0.0160  0.0800   5.00  -3.00  10.25\n"
                        "  HORAUD      (failed)\n"
                        "  PARK          0.0300 -0.0200  0.0800   5.00  -3.00  10.75\n"
                        "  TSAI          0.0300 -0.0200  0.0800   5.00  -3.00  30.00\n" +
                        kRule +
                        "  rz total spread:      20.00 deg (median rz = 10.50 deg)\n"
                        "  translation spread:   5.00 mm\n"
                        "  >>> 3-of-4 methods cluster near 10.50 deg; outlier(s): TSAI.\n"
                        "      Trust the consensus value (10.50 deg). The\n"
                        "      outlier likely hit a local optimum specific to its formulation.\n");
}

// Angles a full turn apart are one rotation: the spread runs along the shortest arc.
TEST(MethodComparisonText, SpreadWrapsAroundAFullTurn) {
    const std::string summary = summaryOf(velk::quality::format_method_comparison(withRz({179.5, -179.5}), 1.5));
    EXPECT_EQ(summary.substr(0, summary.find('\n') + 1), "  rz total spread:      1.00 deg (median rz = 180.00 deg)\n");
}

struct WrapCase {
    std::vector<double> rzs;
    std::string spread_line;
    std::string verdict_start;
};

class WrappedVerdict : public ::testing::TestWithParam<WrapCase> {};

TEST_P(WrappedVerdict, JudgesTheShortestArc) {
    const std::string text = velk::quality::format_method_comparison(withRz(GetParam().rzs), 1.5);
    const std::string summary = summaryOf(text);
    EXPECT_EQ(summary.substr(0, summary.find('\n') + 1), GetParam().spread_line) << text;
    EXPECT_EQ(verdictOf(text).substr(0, GetParam().verdict_start.size()), GetParam().verdict_start) << text;
}

INSTANTIATE_TEST_SUITE_P(AcrossTheCut, WrappedVerdict,
                         ::testing::Values(WrapCase{{179.9, -179.9, 179.95, -179.95, 179.8},
                                                    "  rz total spread:      0.30 deg (median rz = 179.95 deg)\n",
                                                    "  >>> All 5 methods agree"},
                                           WrapCase{{-179.9, 179.9, -179.8, 179.7, -179.95},
                                                    "  rz total spread:      0.50 deg (median rz = -179.95 deg)\n",
                                                    "  >>> All 5 methods agree"},
                                           WrapCase{{179.9, -179.9, 179.95, -179.95, 170.0},
                                                    "  rz total spread:      10.10 deg (median rz = 179.95 deg)\n",
                                                    "  >>> 4-of-5 methods cluster near 179.95 deg; outlier(s): TSAI."},
                                           WrapCase{{359.9, 0.1, -0.2},
                                                    "  rz total spread:      0.30 deg (median rz = -0.10 deg)\n",
                                                    "  >>> All 3 methods agree"}));

TEST(MethodComparisonText, OneSuccessGivesTheTableOnly) {
    const std::string text = velk::quality::format_method_comparison(withRz({-12.3456}), 1.5);
    EXPECT_EQ(text, kHeader +
                        "  ANDREFF       0.0300 -0.0200  0.0800   5.00  -3.00 -12.35\n"
                        "  DANIILIDIS  (failed)\n"
                        "  HORAUD      (failed)\n"
                        "  PARK        (failed)\n"
                        "  TSAI        (failed)\n");
}

TEST(MethodComparisonText, WideValuesPushTheRowRight) {
    HandEyeMethodResults results;
    results["TSAI"] = solved("TSAI", 100.0, {-12.5, 0.0, 0.0});
    results["AVERYLONGNAME"] = solved("AVERYLONGNAME", -100.0);
    const std::string text = velk::quality::format_method_comparison(results, 1.5);
    EXPECT_NE(text.find("  AVERYLONGNAME  0.0300 -0.0200  0.0800   5.00  -3.00-100.00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  TSAI        -12.5000  0.0000  0.0000   5.00  -3.00 100.00\n"), std::string::npos) << text;
}

TEST(MethodComparisonText, EmptyMapGivesTheHeaderOnly) {
    EXPECT_EQ(velk::quality::format_method_comparison({}, 1.5), kHeader);
}

TEST(MethodComparisonText, RefusesAShortPose) {
    HandEyeMethodResults results = withRz({1.0, 2.0});
    results["PARK"] = HandEyeMethodResult{"PARK", {}, {0.0, 0.0, 0.0}};
    EXPECT_THROW(velk::quality::format_method_comparison(results, 1.5), std::invalid_argument);
}

}  // namespace
