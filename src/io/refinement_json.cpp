#include "io/refinement_json.hpp"

#include <stdexcept>

#include "io/json_values.hpp"

using nlohmann::json;

namespace velk::io {
namespace {

void readMatricesIfPresent(const json& object, const char* key, std::vector<cv::Mat>& matrices) {
    if (hasValue(object, key)) {
        matrices = matrixListFromJson(object.at(key));
    }
}

json robotNoiseToJson(const RobotNoiseRecord& record) {
    json object = json::object();
    object["estimated"] = record.estimated;
    object["translation_mm"] = record.translation_mm;
    object["rotation_deg"] = record.rotation_deg;
    object["pixel_px"] = record.pixel_px;
    object["pose_corrections"] = record.pose_corrections;
    object["suspect_poses"] = record.suspect_poses;
    object["warning"] = record.warning;
    return object;
}

RobotNoiseRecord robotNoiseFromJson(const json& object) {
    if (!object.is_object()) {
        throw std::runtime_error("io: the robot noise must be an object");
    }
    RobotNoiseRecord record;
    readIfPresent(object, "estimated", record.estimated);
    readIfPresent(object, "translation_mm", record.translation_mm);
    readIfPresent(object, "rotation_deg", record.rotation_deg);
    readIfPresent(object, "pixel_px", record.pixel_px);
    readIfPresent(object, "pose_corrections", record.pose_corrections);
    readIfPresent(object, "suspect_poses", record.suspect_poses);
    readIfPresent(object, "warning", record.warning);
    return record;
}

}  // namespace

json refinementToJson(const RefinementRecord& record) {
    json object = json::object();
    object["refined"] = record.refined;
    object["reason"] = record.reason;
    object["unrefined_poses"] = matrixListToJson(record.unrefined_poses);
    object["pose_sigmas"] = record.pose_sigmas;
    object["target_poses"] = matrixListToJson(record.target_poses);
    object["target_pose_sigmas"] = record.target_pose_sigmas;
    object["intrinsic_sigmas"] = record.intrinsic_sigmas;
    object["per_view_rms_px"] = record.per_view_rms_px;
    object["outlier_views"] = record.outlier_views;
    object["rms_px"] = record.rms_px;
    object["iterations"] = record.iterations;
    object["initial_cost"] = record.initial_cost;
    object["final_cost"] = record.final_cost;
    object["converged"] = record.converged;
    if (record.robot_noise) {
        object["robot_noise"] = robotNoiseToJson(*record.robot_noise);
    }
    return object;
}

RefinementRecord refinementFromJson(const json& object) {
    if (!object.is_object()) {
        throw std::runtime_error("io: the refinement must be an object");
    }
    RefinementRecord record;
    readIfPresent(object, "refined", record.refined);
    readIfPresent(object, "reason", record.reason);
    readMatricesIfPresent(object, "unrefined_poses", record.unrefined_poses);
    readIfPresent(object, "pose_sigmas", record.pose_sigmas);
    readMatricesIfPresent(object, "target_poses", record.target_poses);
    readIfPresent(object, "target_pose_sigmas", record.target_pose_sigmas);
    readIfPresent(object, "intrinsic_sigmas", record.intrinsic_sigmas);
    readIfPresent(object, "per_view_rms_px", record.per_view_rms_px);
    readIfPresent(object, "outlier_views", record.outlier_views);
    readIfPresent(object, "rms_px", record.rms_px);
    readIfPresent(object, "iterations", record.iterations);
    readIfPresent(object, "initial_cost", record.initial_cost);
    readIfPresent(object, "final_cost", record.final_cost);
    readIfPresent(object, "converged", record.converged);
    if (hasValue(object, "robot_noise")) {
        record.robot_noise = robotNoiseFromJson(object.at("robot_noise"));
    }
    return record;
}

}  // namespace velk::io
