#include "io/refinement_json.hpp"

#include "io/record_members.hpp"

using nlohmann::json;

namespace velk::io {

// The members of "robot_noise" and of "refinement", each in one list for the writer and the reader.
template <typename Visit>
void members(RobotNoiseRecord& record, Visit& visit) {
    visit("estimated", record.estimated);
    visit("translation_mm", record.translation_mm);
    visit("rotation_deg", record.rotation_deg);
    visit("pixel_px", record.pixel_px);
    visit("pose_corrections", record.pose_corrections);
    visit("suspect_poses", record.suspect_poses);
    visit("warning", record.warning);
}

template <typename Visit>
void members(TargetScaleRecord& record, Visit& visit) {
    visit("scale", record.scale);
    visit("sigma", record.sigma);
    visit("applied", record.applied);
    visit("differs", record.differs);
}

template <>
struct IsMemberRecord<MountComponentRecord> : std::true_type {};

template <typename Visit>
void members(MountComponentRecord& record, Visit& visit) {
    visit("transform", record.transform);
    visit("component", record.component);
    visit("source", record.source);
    visit("undetermined", record.undetermined);
    visit("value", record.value);
    visit("sigma", record.sigma);
    visit("sentence", record.sentence);
    visit("measurement", record.measurement);
}

template <typename Visit>
void members(RefinementRecord& record, Visit& visit) {
    visit("refined", record.refined);
    visit("reason", record.reason);
    visit("unrefined_poses", record.unrefined_poses);
    visit("pose_sigmas", record.pose_sigmas);
    visit("target_poses", record.target_poses);
    visit("target_pose_sigmas", record.target_pose_sigmas);
    visit("intrinsic_sigmas", record.intrinsic_sigmas);
    visit("per_view_rms_px", record.per_view_rms_px);
    visit("outlier_views", record.outlier_views);
    visit("rms_px", record.rms_px);
    visit("iterations", record.iterations);
    visit("initial_cost", record.initial_cost);
    visit("final_cost", record.final_cost);
    visit("converged", record.converged);
    visit("mount_components", record.mount_components, kOmittedWhenEmpty);
}

json refinementToJson(const RefinementRecord& record) {
    json object = recordToJson(record);
    if (record.robot_noise) {
        object["robot_noise"] = recordToJson(*record.robot_noise);
    }
    if (record.target_scale) {
        object["target_scale"] = recordToJson(*record.target_scale);
    }
    return object;
}

RefinementRecord refinementFromJson(const json& object) {
    RefinementRecord record = recordFromJson<RefinementRecord>(object, "refinement");
    if (hasValue(object, "robot_noise")) {
        record.robot_noise = recordFromJson<RobotNoiseRecord>(object.at("robot_noise"), "robot noise");
    }
    if (hasValue(object, "target_scale")) {
        record.target_scale = recordFromJson<TargetScaleRecord>(object.at("target_scale"), "target scale");
    }
    return record;
}

}  // namespace velk::io
