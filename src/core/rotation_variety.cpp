#include "core/rotation_variety.hpp"

#include <algorithm>
#include <numeric>
#include <sstream>

#include <opencv2/calib3d.hpp>

namespace velk::quality {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kMinimumMotions = 3;
const std::string kBar(60, '=');

struct Motion {
    cv::Mat rotation_vector;  // 1 x 3 CV_64F
    double angle = 0.0;       // radians
};

Motion motionBetween(const cv::Mat& from, const cv::Mat& to) {
    cv::Mat fromDouble, toDouble;
    from.convertTo(fromDouble, CV_64F);
    to.convertTo(toDouble, CV_64F);
    const cv::Mat relative = fromDouble.inv(cv::DECOMP_LU) * toDouble;
    Motion motion;
    cv::Rodrigues(relative(cv::Rect(0, 0, 3, 3)), motion.rotation_vector);
    motion.rotation_vector = motion.rotation_vector.reshape(1, 1);
    motion.angle = cv::norm(motion.rotation_vector, cv::NORM_L2);
    return motion;
}

}  // namespace

std::optional<RotationVarietyStats> analyze_rotation_variety(const std::vector<cv::Mat>& camera_T_target_list,
                                                             double min_rotation_deg) {
    const double minimum = min_rotation_deg * kPi / 180.0;
    std::vector<Motion> kept;
    for (size_t i = 1; i < camera_T_target_list.size(); ++i) {
        Motion motion = motionBetween(camera_T_target_list[i - 1], camera_T_target_list[i]);
        if (motion.angle > minimum) {
            kept.push_back(std::move(motion));
        }
    }
    if (static_cast<int>(kept.size()) < kMinimumMotions) {
        return std::nullopt;
    }

    cv::Mat stacked(static_cast<int>(kept.size()), 3, CV_64F);
    std::vector<double> anglesDeg;
    for (size_t k = 0; k < kept.size(); ++k) {
        kept[k].rotation_vector.copyTo(stacked.row(static_cast<int>(k)));
        anglesDeg.push_back(kept[k].angle * 180.0 / kPi);
    }
    cv::Mat singular;
    cv::SVD::compute(stacked, singular);

    RotationVarietyStats stats;
    stats.num_motions = static_cast<int>(kept.size());
    for (int k = 0; k < 3; ++k) {
        stats.singular_values[k] = singular.at<double>(k);
    }
    stats.axis_span_ratio = stats.singular_values[2] / stats.singular_values[0];
    stats.angle_mean_deg = std::accumulate(anglesDeg.begin(), anglesDeg.end(), 0.0) / anglesDeg.size();
    stats.angle_max_deg = *std::max_element(anglesDeg.begin(), anglesDeg.end());
    return stats;
}

std::string format_rotation_variety(const std::optional<RotationVarietyStats>& stats) {
    std::ostringstream text;
    text << kBar << "\nROTATION VARIETY OF CAPTURED CAMERA POSES\n" << kBar << "\n";
    if (!stats) {
        text << "  Not enough motions to analyze.\n";
        return text.str();
    }
    text << std::fixed;
    text << "  Inter-frame motions analyzed: " << stats->num_motions << "\n";
    text.precision(2);
    text << "  Mean inter-frame rotation:    " << stats->angle_mean_deg << " deg\n";
    text << "  Max  inter-frame rotation:    " << stats->angle_max_deg << " deg\n";
    text.precision(3);
    const auto& s = stats->singular_values;
    text << "  Singular values of rvecs:     [" << s[0] << ", " << s[1] << ", " << s[2] << "]\n";
    text << "  Axis-spread ratio (sv_min/sv_max): " << stats->axis_span_ratio << "\n";
    if (stats->axis_span_ratio < 0.15) {
        text << "  >>> POOR rotation variety  -  motions cluster in a plane.\n";
        text << "  >>> Hand-eye is poorly observable in one axis; expect bias.\n";
    } else if (stats->axis_span_ratio < 0.35) {
        text << "  >>> Marginal rotation variety  -  possible bias in one axis.\n";
    } else {
        text << "  >>> Rotation variety is healthy.\n";
    }
    return text.str();
}

}  // namespace velk::quality
