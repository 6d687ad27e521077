#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_statistics.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// A bundle of target corners seen by cameras whose intrinsics and poses are refined together by
// minimising the robust reprojection error. Each view observes the target through
// camera_T_target = inv(camera pose) * mount * target pose (see ReprojectionCost).
// A solved bundle without one of its target poses and the views through it, as far as one step from
// the solution goes: every pose and camera by index (those held keep their values).
struct LeftOutBundle {
    bool ok = false;  // false when the other views do not determine the free unknowns
    std::vector<cv::Mat> poses;
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortions;
};

class ReprojectionProblem {
public:
    explicit ReprojectionProblem(double huber_scale_px);
    ~ReprojectionProblem();
    ReprojectionProblem(const ReprojectionProblem&) = delete;
    ReprojectionProblem& operator=(const ReprojectionProblem&) = delete;

    // A camera with its starting intrinsics. Held fixed unless free; when free, calibrateCamera's
    // CALIB_FIX_* and CALIB_ZERO_TANGENT_DIST flags keep their parameters fixed.
    // Throws std::invalid_argument for a distortion model the projection cannot represent. A
    // fisheye camera projects through the equidistant model and its flags are cv::fisheye's.
    int addCamera(const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, bool free, int calibration_flags,
                  CameraModel model = CameraModel::Pinhole);
    int addPose(const cv::Mat& transformation, bool constant);
    // One picture: corners (N x 3 object points, N x 2 image points, any layout or depth).
    // An empty mount means identity.
    int addView(int camera, int camera_pose, const cv::Mat& mount, int target_pose, const cv::Mat& object_points,
                const cv::Mat& image_points);

    // Solves; false with the reason when the solver fails, does not converge or leaves non-finite values.
    // tolerance: relative change of the cost and of the parameters at which the solver stops.
    bool solve(int max_iterations, RefinementSummary& summary, std::string& reason, double tolerance = 1e-10);
    ViewResiduals viewResiduals(double outlier_z_score) const;
    // Sum of squared raw residuals over (residual count - free parameter count).
    double residualVariance() const;
    int residualCount() const;
    int freeParameterCount() const;
    // Covariance of the listed poses and cameras at the solution; false with the reason when it is singular.
    bool computeCovariance(const std::vector<int>& poses, const std::vector<int>& cameras, std::string& reason);
    PoseSigma poseSigma(int pose) const;
    std::vector<double> intrinsicSigmas(int camera) const;  // [fx, fy, cx, cy]

    // Per listed target pose, at the current values (a solution): every pose and camera one Gauss-Newton
    // step away with that pose and the views through it removed, the other target poses following (see
    // leaveOneViewOut). The list must hold the target pose of every view; throws std::invalid_argument
    // otherwise. Leaves the values as they were.
    std::vector<LeftOutBundle> leaveEachTargetPoseOut(const std::vector<int>& target_poses);

    cv::Mat pose(int index) const;
    cv::Mat intrinsicMatrix(int camera) const;
    cv::Mat distortion(int camera) const;

private:
    void holdUnusedBlocks();

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velk::calibration
