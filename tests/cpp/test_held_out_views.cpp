#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calibration/refinement/held_out_views.hpp"
#include "core/parallel_indices.hpp"

namespace {

using velk::calibration::heldOutQuantile;
using velk::calibration::HeldOutViews;
using velk::calibration::heldOutViewsRecord;
using velk::calibration::heldOutViewsSentence;
using velk::calibration::summarizeHeldOutViews;

HeldOutViews rigViews() {
    HeldOutViews views;
    views.frames = {0, 0, 1, 1, 2, 2, 3};
    views.cameras = {1, 2, 1, 2, 1, 2, 2};
    views.held_out_rms_px = {0.5, 0.9, 3.0, 2.5, 0.7, 0.8, 1.1};
    views.fitted_rms_px = {0.2, 0.3, 0.4, 0.3, 0.2, 0.3, 0.4};
    return views;
}

TEST(HeldOutQuantile, InterpolatesBetweenOrderStatistics) {
    EXPECT_DOUBLE_EQ(heldOutQuantile({4.0, 1.0, 3.0, 2.0}, 0.5), 2.5);
    EXPECT_DOUBLE_EQ(heldOutQuantile({4.0, 1.0, 3.0, 2.0}, 0.9), 3.7);
    EXPECT_DOUBLE_EQ(heldOutQuantile({7.0}, 0.9), 7.0);
    EXPECT_TRUE(std::isnan(heldOutQuantile({}, 0.5)));
}

TEST(SummarizeHeldOutViews, WorstFramesAreDistinctFramesWorstFirst) {
    HeldOutViews views = rigViews();
    summarizeHeldOutViews(views);
    EXPECT_TRUE(views.validated);
    // Frame 1 holds the two worst views; it is named once.
    EXPECT_EQ(views.worst_frames, (std::vector<int>{1, 3, 0}));
    EXPECT_DOUBLE_EQ(views.median_px, 0.9);
}

TEST(SummarizeHeldOutViews, MediansPerCameraInCameraOrder) {
    HeldOutViews views = rigViews();
    summarizeHeldOutViews(views);
    EXPECT_EQ(views.camera_indices, (std::vector<int>{1, 2}));
    EXPECT_DOUBLE_EQ(views.camera_median_px[0], 0.7);
    EXPECT_DOUBLE_EQ(views.camera_median_px[1], 1.0);
    EXPECT_EQ(heldOutViewsSentence(views),
              "Predicts pictures it did not see to 0.9 px (median), 2.7 px (90th percentile); camera 1 0.7 px, "
              "camera 2 1.0 px");
}

TEST(SummarizeHeldOutViews, NoViewIsNotValidated) {
    HeldOutViews views;
    summarizeHeldOutViews(views);
    EXPECT_FALSE(views.validated);
    EXPECT_TRUE(views.worst_frames.empty());
    EXPECT_TRUE(std::isnan(views.median_px));
}

TEST(HeldOutViewsRecord, StoresCamerasOnlyForMoreThanOne) {
    HeldOutViews rig = rigViews();
    summarizeHeldOutViews(rig);
    EXPECT_EQ(heldOutViewsRecord(rig).cameras, rig.cameras);
    HeldOutViews single;
    single.frames = {0, 1};
    single.cameras = {0, 0};
    single.held_out_rms_px = {1.0, 2.0};
    single.fitted_rms_px = {0.5, 0.5};
    summarizeHeldOutViews(single);
    const auto record = heldOutViewsRecord(single);
    EXPECT_TRUE(record.cameras.empty());
    EXPECT_EQ(record.worst_frames, (std::vector<int>{1, 0}));
    EXPECT_DOUBLE_EQ(record.median_px, 1.5);
}

TEST(ForEachIndexInParallel, EveryIndexRunsExactlyOnce) {
    for (size_t count : {0u, 1u, 2u, 17u}) {
        std::vector<int> runs(count, 0);
        velk::forEachIndexInParallel(count, [&runs](size_t index) { ++runs[index]; });
        EXPECT_EQ(runs, std::vector<int>(count, 1));
    }
}

}  // namespace
