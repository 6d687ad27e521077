#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/parameter_identifiability.hpp"
#include "calibration/refinement/refinement_statistics.hpp"
#include "core/camera_projection.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/kinematic_chain.hpp"

namespace velk::calibration {

// One standard deviation of each kind of observation error.
struct ObservationNoise {
    double pixel_px = 0.5;        // per image coordinate of a corner
    double translation_m = 5e-4;  // per axis of a known transform's translation
    double rotation_rad = 1e-3;   // per axis of a known transform's rotation (angle-axis)
};

// Which robot noise levels are estimated from the data; the others stay at their starting
// values.
struct NoiseEstimation {
    bool translation = true;
    bool rotation = true;
    bool pixel = true;
};

// A bundle of target corners like ReprojectionProblem's, in which the known transform of every
// view is itself an observation with an error: each view carries a small correction
// E = [R(w) | t] of its own, weighted by a prior of the transform noise, so that
//   camera_T_target = inv(camera pose) * E * mount * target pose   (correction on the left)
//   camera_T_target = inv(camera pose) * mount * E * target pose   (correction on the right).
// The corner, translation and rotation noise levels are found by variance-component estimation:
// the problem is solved, each group's variance factor (weighted squared residuals over the group's
// redundancy) rescales its standard deviation, and the two repeat until the levels settle. The
// covariance of every unknown then comes from the whole problem under those weights.
// A solved problem without one of its views: what a re-solve without it would give, as far as one
// step from the solution goes.
struct LeftOutSolution {
    bool ok = false;  // false when the other views do not determine the shared unknowns
    std::vector<cv::Mat> poses;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion;
    std::vector<double> joint_covariance;  // as jointCovariance orders it
};

class ErrorsInVariablesProblem {
public:
    ErrorsInVariablesProblem(double huber_scale_px, const ObservationNoise& start, const NoiseEstimation& estimation);
    ~ErrorsInVariablesProblem();
    ErrorsInVariablesProblem(const ErrorsInVariablesProblem&) = delete;
    ErrorsInVariablesProblem& operator=(const ErrorsInVariablesProblem&) = delete;

    // A camera with its starting intrinsics. Free: every parameter but those calibrateCamera's
    // CALIB_FIX_* flags fix is estimated. Not free with intrinsic_sigmas [fx, fy, cx, cy] (pixels):
    // those four are estimated about their given values with that prior; distortion stays.
    // Otherwise held fixed. Throws std::invalid_argument for a bad matrix or prior. A fisheye
    // camera projects through the equidistant model and its flags are cv::fisheye's.
    int addCamera(const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, bool free, int calibration_flags,
                  const std::vector<double>& intrinsic_sigmas = {}, CameraModel model = CameraModel::Pinhole);
    int addPose(const cv::Mat& transformation);
    // One picture seen through a known transform with an error (see the class comment); its
    // correction starts at starting_correction (4 x 4), or at identity when that is empty.
    int addView(int camera, int camera_pose, const cv::Mat& mount, bool correction_on_left, int target_pose,
                const cv::Mat& object_points, const cv::Mat& image_points,
                const cv::Mat& starting_correction = cv::Mat());
    // A view as addView's whose known transform carries the same error as an earlier view's: another
    // camera's picture taken with the robot at the same pose. It shares that view's correction, on the same
    // side; the correction's prior is counted once. Throws std::invalid_argument for a view not yet added.
    // Each view's information and leaveEachViewOut need every view to have a correction of its own
    // (std::logic_error otherwise).
    int addViewSharingCorrection(int earlier_view, int camera, int camera_pose, const cv::Mat& mount, int target_pose,
                                 const cv::Mat& object_points, const cv::Mat& image_points);

    // Makes the listed corrections of the chain's layout unknowns that every view added by
    // addChainView shares, starting at zero; the others stay at zero. Only before the first view and
    // without a target scale; throws std::logic_error otherwise.
    void setChain(const kinematics::KinematicChain& chain, const kinematics::CorrectionLayout& layout,
                  const std::vector<int>& free);
    // A view as addView's whose known transform is the chain's base_T_flange at the joint readings
    // with the current corrections, or its inverse with invert_flange.
    int addChainView(int camera, int camera_pose, const std::vector<double>& joints, bool invert_flange,
                     bool correction_on_left, int target_pose, const cv::Mat& object_points,
                     const cv::Mat& image_points, const cv::Mat& starting_correction = cv::Mat());
    std::vector<double> chainCorrections() const;       // in the layout's order; zero where not free
    std::vector<double> chainCorrectionSigmas() const;  // 1-sigma; zero where not free or not solved
    // Covariance of the free corrections (row-major, free x free); empty when not solved.
    std::vector<double> chainCorrectionCovariance() const;
    // Which free chain corrections the views determine, judged at the current values under the current
    // noise levels on the weighted jacobian: each correction's column against every other unknown's
    // (see analyseIdentifiability). Indexed by free correction; the groups of absorbed_by are a pose's
    // index, pose count for the views' own corrections, pose count + 1 for the cameras and the target
    // scale, pose count + 2 + k for free correction k.
    Identifiability chainIdentifiability(double tolerance);

    // Makes the target's true size an unknown multiple of its described size, starting at start (its
    // points become scale * p). Only before the first view; throws std::logic_error after one.
    void estimateTargetScale(double start = 1.0);
    // Makes the target's size a parameter of every view as estimateTargetScale does, held at start through every
    // solve: the solution is the one at that size, and measureTargetScale then measures the size at it. Only
    // before the first view; throws std::logic_error after one.
    void carryTargetScale(double start = 1.0);
    // At a solution with the carried size held (after solve): the size and its 1-sigma as freeing it finds them.
    // The noise levels are re-estimated on the problem linearised there with the size free (Gauss-Newton steps
    // of that linear model, the levels updated on each until they settle), which costs no evaluation of the
    // problem; then one solve with the size free under those levels, from the solution, gives the size (the
    // corners' robust weights and the problem's curvature included). The values, the levels and the covariance
    // stay those of the solution. ok false when the size is not carried, the problem is not solved, the linear
    // model is singular or the solve fails.
    struct ScaleMeasurement {
        bool ok = false;
        double scale = 1.0;
        double sigma = 0.0;
        ObservationNoise noise;  // the levels the size was measured under
        int rounds = 0;          // of the levels on the linear model
    };
    ScaleMeasurement measureTargetScale(int max_iterations);
    bool targetScaleEstimated() const;
    double targetScale() const;       // 1 unless estimated
    double targetScaleSigma() const;  // 1-sigma of the estimate; 0 unless estimated and solved

    // Holds parameter k of a pose's [w, t] at its value (a component the data do not determine).
    // Only before the first solve or information query; throws std::logic_error after one.
    void holdPoseParameter(int pose, int parameter);
    // Ties parameter k of a pose's [w, t] to a value known to sigma (in the parameter's units), as
    // one more observation beside the views.
    void addPoseParameterPrior(int pose, int parameter, double value, double sigma);

    // Solves and estimates the noise levels; false with the reason when the solver fails, does not
    // converge, leaves non-finite values or the normal matrix is singular.
    bool solve(int max_iterations, RefinementSummary& summary, std::string& reason);

    // Without solving: the covariance at the current values under the starting noise levels, as a
    // solve would report it for data that fit those values exactly; poseSigma and intrinsicSigmas
    // then read it. False with the reason when the normal matrix is singular.
    bool evaluateCovariance(std::string& reason);
    // Without solving: every view's information about the unknowns the views share (the poses and
    // cameras in use), its own correction marginalised, under the starting noise levels; each is
    // shared x shared (CV_64F). sharedPriorInformation(): that of the intrinsic priors alone.
    std::vector<cv::Mat> viewInformation();
    cv::Mat sharedPriorInformation();
    // First of a pose's six [w, t] columns among the shared unknowns; -1 when the pose is not free.
    int sharedPoseColumn(int pose);

    // Per view, at the current values (a solution) under the current noise levels: the listed poses and
    // the camera's intrinsics one Gauss-Newton step away with that view's corners, correction and prior
    // removed, the other views' corrections following (see leaveOneViewOut), and their covariance
    // without the view. Leaves the values and the covariance as they were.
    std::vector<LeftOutSolution> leaveEachViewOut(const std::vector<int>& poses, int camera);

    const ObservationNoise& noise() const;  // the levels the final solution was weighted with
    bool noiseSettled() const;
    int noiseRounds() const;

    PoseSigma poseSigma(int pose) const;
    // Covariance (row-major) of the listed poses' [w, t] and the camera's [fx, fy, cx, cy], in that
    // order; zero rows and columns for what was held fixed.
    std::vector<double> jointCovariance(const std::vector<int>& poses, int camera) const;
    std::vector<double> intrinsicSigmas(int camera) const;  // [fx, fy, cx, cy]; zero where held fixed
    cv::Mat correction(int view) const;                     // the view's E, 4 x 4
    // Per view: the correction's size in its own noise, sqrt(|t|^2 / s_t^2 + |w|^2 / s_r^2).
    std::vector<double> correctionSizes() const;
    ViewResiduals viewResiduals(double outlier_z_score) const;

    cv::Mat pose(int index) const;
    cv::Mat intrinsicMatrix(int camera) const;
    cv::Mat distortion(int camera) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velk::calibration
