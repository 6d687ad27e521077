#include "calibration/rig/rig_triangulation.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "core/camera_projection.hpp"
#include "core/log.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumCorners = 4;
constexpr double kHomogeneousEpsilon = 1e-12;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Observation {
    int camera;
    double x, y;  // as detected (distorted)
    double u, v;  // undistorted, ideal pixels
};

using ObservationsById = std::map<int, std::vector<Observation>>;

struct RigCamera {
    cv::Mat K;  // CV_64F
    cv::Mat D;
    cv::Mat camera_T_reference;  // 4 x 4 CV_64F
    cv::Mat P;                   // 3 x 4 CV_64F, reference coordinates to pixels
    CameraModel lens = CameraModel::Pinhole;
};

RigCamera rigCamera(const MultiCameraResult& rig, size_t k, CameraModel lens) {
    RigCamera model;
    model.lens = lens;
    rig.intrinsic_matrices[k].convertTo(model.K, CV_64F);
    model.D = rig.distortion_coefficients[k];
    cv::Mat pose;
    rig.reference_T_camera_list[k].convertTo(pose, CV_64F);
    model.camera_T_reference = pose.inv(cv::DECOMP_LU);
    model.P = model.K * model.camera_T_reference.rowRange(0, 3);
    return model;
}

// Where an ideal pinhole camera with the same K sees the corners: the fisheye model's normalised
// coordinates mapped through K, so that the projection matrices P apply to both models.
std::vector<cv::Point2d> fisheyeIdealPixels(const std::vector<cv::Point2d>& detected, const RigCamera& model) {
    const cv::Mat normalised = normalisedCoordinates(model.lens, cv::Mat(detected), model.K, model.D);
    const cv::Matx33d k = model.K;
    std::vector<cv::Point2d> ideal;
    ideal.reserve(detected.size());
    for (int j = 0; j < normalised.rows; ++j) {
        const cv::Vec2d& p = normalised.at<cv::Vec2d>(j);
        const cv::Vec3d pixel = k * cv::Vec3d(p[0], p[1], 1.0);
        ideal.emplace_back(pixel[0], pixel[1]);
    }
    return ideal;
}

// Corners of one camera with their undistorted positions; appended to the observation lists.
void observe(const CameraCorners& found, const RigCamera& model, int camera, int frame_index,
             ObservationsById& observations) {
    if (found.corners.size() < kMinimumCorners) {
        logMessage(LogLevel::Warning,
                   "cam_" + std::to_string(camera) + ": detection failed on frame " + std::to_string(frame_index));
        return;
    }
    std::vector<cv::Point2d> detected(found.corners.begin(), found.corners.end());
    std::vector<cv::Point2d> ideal;
    if (model.lens == CameraModel::Fisheye) {
        ideal = fisheyeIdealPixels(detected, model);
    } else {
        cv::undistortPoints(detected, ideal, model.K, model.D, cv::noArray(), model.K);
    }
    for (size_t j = 0; j < detected.size(); ++j) {
        observations[found.ids[j]].push_back({camera, detected[j].x, detected[j].y, ideal[j].x, ideal[j].y});
    }
}

ObservationsById multiViewOnly(ObservationsById observations) {
    for (auto it = observations.begin(); it != observations.end();) {
        it = it->second.size() > 1 ? std::next(it) : observations.erase(it);
    }
    return observations;
}

cv::Point3d triangulatePoint(const std::vector<Observation>& observations, const std::vector<RigCamera>& models) {
    cv::Mat A(static_cast<int>(2 * observations.size()), 4, CV_64F);
    for (size_t i = 0; i < observations.size(); ++i) {
        const Observation& o = observations[i];
        const cv::Mat& P = models[static_cast<size_t>(o.camera)].P;
        const double* p0 = P.ptr<double>(0);
        const double* p1 = P.ptr<double>(1);
        const double* p2 = P.ptr<double>(2);
        double* rowU = A.ptr<double>(static_cast<int>(2 * i));
        double* rowV = A.ptr<double>(static_cast<int>(2 * i + 1));
        for (int j = 0; j < 4; ++j) {
            rowU[j] = o.u * p2[j] - p0[j];
            rowV[j] = o.v * p2[j] - p1[j];
        }
    }
    cv::Mat w, u, vt;
    cv::SVD::compute(A, w, u, vt);
    const double* X = vt.ptr<double>(3);
    if (std::abs(X[3]) < kHomogeneousEpsilon) {
        return {kNaN, kNaN, kNaN};
    }
    return {X[0] / X[3], X[1] / X[3], X[2] / X[3]};
}

bool isFinite(const cv::Point3d& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

void reprojectionErrors(const ObservationsById& observations, const std::map<int, cv::Point3d>& points,
                        const std::vector<RigCamera>& models, TriangulationReport& report) {
    report.rms_per_camera.assign(models.size(), kNaN);
    report.counts_per_camera.assign(models.size(), 0);
    for (size_t k = 0; k < models.size(); ++k) {
        std::vector<cv::Point3f> objectPoints;
        std::vector<cv::Point2d> imagePoints;
        for (const auto& [id, point] : points) {
            for (const Observation& o : observations.at(id)) {
                if (o.camera == static_cast<int>(k)) {
                    objectPoints.emplace_back(static_cast<float>(point.x), static_cast<float>(point.y),
                                              static_cast<float>(point.z));
                    imagePoints.emplace_back(o.x, o.y);
                    break;
                }
            }
        }
        if (objectPoints.empty()) {
            continue;
        }
        const RigCamera& model = models[k];
        cv::Mat rotationVector;
        cv::Rodrigues(model.camera_T_reference(cv::Rect(0, 0, 3, 3)), rotationVector);
        const cv::Mat translation = model.camera_T_reference(cv::Rect(3, 0, 1, 3)).clone();
        std::vector<cv::Point2f> projected;
        if (model.lens == CameraModel::Fisheye) {
            projectObjectPoints(model.lens, cv::Mat(objectPoints), rotationVector, translation, model.K, model.D)
                .convertTo(projected, CV_32F);
        } else {
            cv::projectPoints(objectPoints, rotationVector, translation, model.K, model.D, projected);
        }
        double sum = 0.0;
        for (size_t j = 0; j < projected.size(); ++j) {
            const double dx = projected[j].x - imagePoints[j].x;
            const double dy = projected[j].y - imagePoints[j].y;
            sum += dx * dx + dy * dy;
        }
        report.rms_per_camera[k] = std::sqrt(sum / static_cast<double>(projected.size()));
        report.counts_per_camera[k] = static_cast<int>(projected.size());
    }
}

// For each corner in row order: the distance to its right neighbour, then to the one below.
std::vector<double> neighbourDistances(const std::map<int, cv::Point3d>& points, const std::vector<int>& order,
                                       int cornersPerRow) {
    std::vector<double> distances;
    if (cornersPerRow <= 0) {
        return distances;
    }
    for (int c : order) {
        const cv::Point3d& p = points.at(c);
        const auto right = points.find(c + 1);
        if (right != points.end() && c % cornersPerRow != cornersPerRow - 1) {
            distances.push_back(cv::norm(right->second - p));
        }
        const auto below = points.find(c + cornersPerRow);
        if (below != points.end()) {
            distances.push_back(cv::norm(below->second - p));
        }
    }
    return distances;
}

double planeThickness(const cv::Mat& points) {
    if (points.rows < 3) {
        return kNaN;
    }
    cv::Mat mean;
    cv::reduce(points, mean, 0, cv::REDUCE_AVG, CV_64F);
    const cv::Mat centred = points - cv::repeat(mean, points.rows, 1);
    cv::Mat singularValues;
    cv::SVD::compute(centred, singularValues);
    return singularValues.at<double>(2);
}

}  // namespace

CameraCorners detectCharucoCorners(const CharucoTarget& target, const cv::Mat& image) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    CameraCorners found;
    target.createDetector().detectBoard(grey, found.corners, found.ids);
    return found;
}

TriangulationReport triangulateCharucoCorners(const CharucoTarget& target, const MultiCameraResult& rig,
                                              const std::vector<CameraCorners>& cameras, int frame_index) {
    const CameraModel lens = cameraModelFromName(rig.camera_model, "MultiCameraResult");
    std::vector<RigCamera> models;
    for (size_t k = 0; k < rig.intrinsic_matrices.size(); ++k) {
        models.push_back(rigCamera(rig, k, lens));
    }
    ObservationsById observations;
    for (size_t k = 0; k < cameras.size(); ++k) {
        observe(cameras[k], models[k], static_cast<int>(k), frame_index, observations);
    }
    observations = multiViewOnly(std::move(observations));
    if (observations.size() < kMinimumCorners) {
        throw std::runtime_error("MultiCameraCalibrator: only " + std::to_string(observations.size()) +
                                 " corners visible in >=2 cameras  -  need at least 4.");
    }

    std::map<int, cv::Point3d> points;
    std::vector<int> order;
    for (const auto& [id, seen] : observations) {
        const cv::Point3d point = triangulatePoint(seen, models);
        if (isFinite(point)) {
            points.emplace(id, point);
            order.push_back(id);
        }
    }
    const size_t removed = observations.size() - points.size();
    if (removed > 0) {
        logMessage(LogLevel::Warning,
                   "Dropping " + std::to_string(removed) + " corners with degenerate triangulation.");
    }
    if (points.empty()) {
        throw std::runtime_error(
            "MultiCameraCalibrator: every triangulated corner was degenerate (check camera baselines and calibration "
            "quality).");
    }

    TriangulationReport report;
    report.frame_index = frame_index;
    report.points_3d.create(static_cast<int>(order.size()), 3, CV_64F);
    report.ids.create(static_cast<int>(order.size()), 1, CV_32S);
    for (int row = 0; row < static_cast<int>(order.size()); ++row) {
        const cv::Point3d& p = points.at(order[row]);
        report.points_3d.at<double>(row, 0) = p.x;
        report.points_3d.at<double>(row, 1) = p.y;
        report.points_3d.at<double>(row, 2) = p.z;
        report.ids.at<int>(row) = order[row];
    }
    reprojectionErrors(observations, points, models, report);
    report.neighbor_distances_m = neighbourDistances(points, order, target.squares_x - 1);
    report.plane_thickness_m = planeThickness(report.points_3d);
    return report;
}

}  // namespace velk::calibration
