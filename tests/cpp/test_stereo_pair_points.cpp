#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calibration/rig/camera_combinations.hpp"
#include "calibration/rig/stereo_pair_points.hpp"

namespace {

using velk::calibration::RigCameraView;
using velk::calibration::StereoPairPoints;

std::string capturedErr(const std::function<void()>& fn) {
    std::ostringstream err;
    auto* old = std::cerr.rdbuf(err.rdbuf());
    fn();
    std::cerr.rdbuf(old);
    return err.str();
}

// One frame of ChArUco detections: corner k at pixel (10 * id, id + 0.5).
void addCharucoFrame(RigCameraView& view, int frame, const std::vector<int>& ids) {
    cv::Mat points(static_cast<int>(ids.size()), 1, CV_32FC2);
    cv::Mat idMatrix(static_cast<int>(ids.size()), 1, CV_32S);
    for (int row = 0; row < static_cast<int>(ids.size()); ++row) {
        points.at<cv::Point2f>(row) = cv::Point2f(10.0f * ids[row], ids[row] + 0.5f);
        idMatrix.at<int>(row) = ids[row];
    }
    view.detections.successful_indices.push_back(frame);
    view.detections.image_points.push_back(points);
    view.detections.object_points.push_back(cv::Mat::zeros(static_cast<int>(ids.size()), 3, CV_32F));
    view.detections.point_ids.push_back(idMatrix);
}

std::vector<int> range(int first, int end) {
    std::vector<int> values;
    for (int v = first; v < end; ++v) {
        values.push_back(v);
    }
    return values;
}

const velk::CharucoTarget kBoard(7, 5, 0.04, 0.03);  // 6 x 4 = 24 corners

TEST(CameraCombinations, LexicographicOrder) {
    const std::vector<std::vector<int>> expected{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    EXPECT_EQ(velk::calibration::cameraCombinations(4, 2), expected);
    const std::vector<std::vector<int>> triples{{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}};
    EXPECT_EQ(velk::calibration::cameraCombinations(4, 3), triples);
    EXPECT_EQ(velk::calibration::cameraCombinations(3, 3), (std::vector<std::vector<int>>{{0, 1, 2}}));
}

TEST(CameraCombinations, EdgeSizes) {
    EXPECT_TRUE(velk::calibration::cameraCombinations(3, 4).empty());
    EXPECT_EQ(velk::calibration::cameraCombinations(3, 0), (std::vector<std::vector<int>>{{}}));
    EXPECT_EQ(velk::calibration::cameraCombinations(5, 1).size(), 5u);
    EXPECT_THROW(velk::calibration::cameraCombinations(3, -1), std::length_error);
}

TEST(SharedFrames, IntersectionThenEachFilter) {
    RigCameraView reference, other;
    reference.detections.successful_indices = {0, 1, 2, 4, 5, 7};
    other.detections.successful_indices = {1, 2, 3, 5, 7, 8};
    size_t both = 0;
    EXPECT_EQ(velk::calibration::sharedFrames(reference, other, both), (std::vector<int>{1, 2, 5, 7}));
    EXPECT_EQ(both, 4u);
    reference.low_error_frames = std::set<int>{1, 2, 7, 9};
    other.low_error_frames = std::set<int>{2, 5, 7};
    EXPECT_EQ(velk::calibration::sharedFrames(reference, other, both), (std::vector<int>{2, 7}));
    EXPECT_EQ(both, 4u);
}

TEST(CharucoPairing, CommonIdsAscendingWithBoardPoints) {
    RigCameraView reference, other;
    addCharucoFrame(reference, 3, {20, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 4, 23});
    addCharucoFrame(other, 3, {0, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 21});
    StereoPairPoints points;
    const std::string err =
        capturedErr([&] { points = velk::calibration::intersectPairCorners({3}, reference, other, kBoard, 0, 1); });
    EXPECT_EQ(err, "");
    ASSERT_EQ(points.object_points.size(), 1u);
    const std::vector<cv::Point3f> corners = kBoard.createBoard().getChessboardCorners();
    ASSERT_EQ(points.object_points[0].rows, 16);  // ids 4 .. 19
    for (int j = 0; j < 16; ++j) {
        const int id = 4 + j;
        EXPECT_EQ(points.object_points[0].at<float>(j, 0), corners[id].x);
        EXPECT_EQ(points.object_points[0].at<float>(j, 1), corners[id].y);
        EXPECT_EQ(points.reference_points[0].at<cv::Point2f>(j), cv::Point2f(10.0f * id, id + 0.5f));
        EXPECT_EQ(points.other_points[0].at<cv::Point2f>(j), cv::Point2f(10.0f * id, id + 0.5f));
    }
}

TEST(CharucoPairing, FifteenCommonCornersNeeded) {
    RigCameraView reference, other;
    addCharucoFrame(reference, 0, range(0, 24));
    addCharucoFrame(other, 0, range(0, 14));
    addCharucoFrame(reference, 2, range(0, 24));
    addCharucoFrame(other, 2, range(9, 24));
    StereoPairPoints points;
    const std::string err = capturedErr([&] {
        points = velk::calibration::intersectPairCorners({0, 2}, reference, other, kBoard, 1, 3);
    });
    EXPECT_EQ(err,
              "[velk][WARNING] [MultiCameraCalibrator] Frame 0: only 14 corners shared between ref (cam 1) and cam 3; "
              "dropping from pair.\n");
    ASSERT_EQ(points.object_points.size(), 1u);
    EXPECT_EQ(points.object_points[0].rows, 15);
    EXPECT_EQ(points.reference_points[0].at<cv::Point2f>(0), cv::Point2f(90.0f, 9.5f));
}

TEST(CharucoPairing, RepeatedIdTakesItsLastRow) {
    RigCameraView reference, other;
    std::vector<int> ids = range(0, 15);
    ids.push_back(3);
    addCharucoFrame(reference, 0, ids);
    reference.detections.image_points[0].at<cv::Point2f>(15) = cv::Point2f(-1.0f, -2.0f);
    addCharucoFrame(other, 0, range(0, 15));
    const StereoPairPoints points = velk::calibration::intersectPairCorners({0}, reference, other, kBoard, 0, 1);
    ASSERT_EQ(points.object_points.size(), 1u);
    EXPECT_EQ(points.object_points[0].rows, 15);
    EXPECT_EQ(points.reference_points[0].at<cv::Point2f>(3), cv::Point2f(-1.0f, -2.0f));
}

TEST(PositionPairing, EqualCountsOnly) {
    RigCameraView reference, other;
    for (int frame : {1, 2}) {
        reference.detections.successful_indices.push_back(frame);
        reference.detections.image_points.push_back(cv::Mat(54, 1, CV_32FC2, cv::Scalar(frame, 1)));
        reference.detections.object_points.push_back(cv::Mat(54, 3, CV_32F, cv::Scalar(frame)));
    }
    other.detections.successful_indices = {1, 2};
    other.detections.image_points = {cv::Mat(54, 1, CV_32FC2, cv::Scalar(5, 5)), cv::Mat(40, 1, CV_32FC2)};
    other.detections.object_points = {cv::Mat(54, 3, CV_32F), cv::Mat(40, 3, CV_32F)};
    StereoPairPoints points;
    const velk::ChessboardTarget chessboard;
    const std::string err = capturedErr([&] {
        points = velk::calibration::intersectPairCorners({1, 2}, reference, other, chessboard, 0, 2);
    });
    EXPECT_EQ(err,
              "[velk][WARNING] [MultiCameraCalibrator] Frame 2: ref has 54 pts, cam 2 has 40 pts; dropping from "
              "pair.\n");
    ASSERT_EQ(points.object_points.size(), 1u);
    EXPECT_EQ(points.object_points[0].data, reference.detections.object_points[0].data);  // passed on unchanged
    EXPECT_EQ(points.reference_points[0].data, reference.detections.image_points[0].data);
    EXPECT_EQ(points.other_points[0].data, other.detections.image_points[0].data);
}

TEST(Pairing, FrameMissingFromTheDetections) {
    RigCameraView reference, other;
    addCharucoFrame(reference, 0, range(0, 20));
    addCharucoFrame(other, 1, range(0, 20));
    try {
        velk::calibration::intersectPairCorners({0}, reference, other, kBoard, 0, 1);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "multi_camera: frame index not found in successful_indices");
    }
}

}  // namespace
