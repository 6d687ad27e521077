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
void members(RecordAnnotations& record, Visit& visit) {
    visit("units", record.units, kOmittedWhenEmpty);
    visit("intrinsics_used", record.intrinsics_used);
    visit("refinement_applied", record.refinement_applied);
    visit("saved_method", record.saved_method);
    visit("image_names", record.image_names);
    visit("verdict", record.verdict);
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
