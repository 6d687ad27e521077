#include "io/record_annotations.hpp"

#include "io/record_members.hpp"

using nlohmann::json;

namespace velk::io {

template <>
struct IsMemberRecord<CheckRecord> : std::true_type {};
template <>
struct IsMemberRecord<VerdictRecord> : std::true_type {};
template <>
struct IsMemberRecord<IntrinsicsUsedRecord> : std::true_type {};
template <>
struct IsMemberRecord<RefinementAppliedRecord> : std::true_type {};

template <>
struct IsMemberRecord<KinematicParameterRecord> : std::true_type {};
template <>
struct IsMemberRecord<KinematicPredictionRecord> : std::true_type {};
template <>
struct IsMemberRecord<KinematicsRecord> : std::true_type {};

template <typename Visit>
void members(CheckRecord& record, Visit& visit) {
    visit("name", record.name);
    visit("passed", record.passed, kNullWhenAbsent);
    visit("figures", record.figures);
    visit("limit", record.limit);
}

template <typename Visit>
void members(VerdictRecord& record, Visit& visit) {
    visit("passed", record.passed);
    visit("text", record.text);
    visit("causes", record.causes);
    visit("checks", record.checks);
    visit("warnings", record.warnings, kOmittedWhenEmpty);
}

template <typename Visit>
void members(IntrinsicsUsedRecord& record, Visit& visit) {
    visit("source", record.source);
    visit("camera_matrix", record.camera_matrix);
    visit("distortion_coefficients", record.distortion_coefficients);
    visit("refined", record.refined);
}

template <typename Visit>
void members(RefinementAppliedRecord& record, Visit& visit) {
    visit("refined", record.refined);
    visit("what", record.what);
    visit("reason", record.reason);
    visit("rms_px", record.rms_px, kNullWhenAbsent);
}

template <typename Visit>
void members(KinematicParameterRecord& record, Visit& visit) {
    visit("name", record.name);
    visit("unit", record.unit);
    visit("value", record.value);
    visit("sigma", record.sigma, kNullWhenAbsent);
    visit("estimated", record.estimated);
    visit("held", record.held);
}

template <typename Visit>
void members(KinematicPredictionRecord& record, Visit& visit) {
    visit("folds", record.folds);
    visit("nominal_px", record.nominal_px);
    visit("calibrated_px", record.calibrated_px);
    visit("nominal_mm", record.nominal_mm);
    visit("calibrated_mm", record.calibrated_mm);
    visit("nominal_deg", record.nominal_deg);
    visit("calibrated_deg", record.calibrated_deg);
}

template <typename Visit>
void members(KinematicsRecord& record, Visit& visit) {
    visit("model", record.model);
    visit("mode", record.mode);
    visit("base_frame", record.base_frame);
    visit("flange_frame", record.flange_frame);
    visit("parameters", record.parameters);
    visit("camera_mount_T_camera", record.camera_mount_T_camera);
    visit("target_mount_T_target", record.target_mount_T_target);
    visit("camera_sigma", record.camera_sigma);
    visit("target_sigma", record.target_sigma);
    visit("corrected_flange_poses", record.corrected_flange_poses);
    visit("chi_square", record.chi_square);
    visit("chi_square_limit", record.chi_square_limit);
    visit("held_out", record.held_out);
    visit("helps", record.helps);
    visit("applied", record.applied);
}

template <typename Visit>
void members(RecordAnnotations& record, Visit& visit) {
    visit("units", record.units, kOmittedWhenEmpty);
    visit("intrinsics_used", record.intrinsics_used);
    visit("refinement_applied", record.refinement_applied);
    visit("saved_method", record.saved_method);
    visit("image_names", record.image_names);
    visit("verdict", record.verdict);
    visit("kinematics", record.kinematics);
}

void writeAnnotations(const RecordAnnotations& annotations, json& document) {
    MemberWriter write(document);
    members(const_cast<RecordAnnotations&>(annotations), write);
}

namespace {

// Reads each listed member through a file reader, whose errors name the member and the file.
class FileMemberReader {
public:
    FileMemberReader(const JsonFileReader& reader, const json& object) : reader_(reader), object_(object) {}

    template <typename T>
    void operator()(const char* key, T& field, MemberWhenEmpty = MemberWhenEmpty::Written) const {
        reader_.optional(object_, key, [&](const json& value) {
            const json wrapped = {{key, value}};
            MemberReader(wrapped, "record")(key, field);
        });
    }

private:
    const JsonFileReader& reader_;
    const json& object_;
};

}  // namespace

void readAnnotations(const JsonFileReader& reader, const json& document, RecordAnnotations& annotations) {
    const FileMemberReader read(reader, document);
    members(annotations, read);
}

}  // namespace velk::io
