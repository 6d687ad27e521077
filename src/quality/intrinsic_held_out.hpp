#pragma once

#include <opencv2/core.hpp>

#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "calibration/refinement/held_out_views.hpp"

namespace velk::quality {

// Leave-one-view-out validation of an intrinsic calibration through the benchmark's cross-validation
// folds (as many folds as views, so each tests one): the intrinsics are solved again from the other
// views' corners, warm-started at the calibration's, and the left-out view is posed from its own
// corners with them; its RMS residual is the held-out error. The calibrator's detections are reused;
// nothing is detected again. image_count names the pictures whose board was not found as skipped.
calibration::HeldOutViews validateIntrinsicsHeldOut(const calibration::IntrinsicCalibrator& calibrator,
                                                    const calibration::IntrinsicResult& result,
                                                    const cv::Size& imageSize, int image_count);

}  // namespace velk::quality
