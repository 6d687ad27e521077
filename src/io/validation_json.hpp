#pragma once

#include <nlohmann/json.hpp>

#include "io/record_members.hpp"
#include "io/result_records.hpp"

namespace velk::io {

template <>
struct IsMemberRecord<ValidationRecord> : std::true_type {};

// The members of "validation", in one list for the writer and the reader.
template <typename Visit>
void members(ValidationRecord& record, Visit& visit) {
    visit("validated", record.validated);
    visit("reason", record.reason);
    visit("frames", record.frames);
    visit("cameras", record.cameras, kOmittedWhenEmpty);
    visit("held_out_rms_px", record.held_out_rms_px);
    visit("fitted_rms_px", record.fitted_rms_px);
    visit("translation_mm", record.translation_mm);
    visit("rotation_deg", record.rotation_deg);
    visit("predicted_rms_px", record.predicted_rms_px);
    visit("median_px", record.median_px);
    visit("p90_px", record.p90_px);
    visit("median_mm", record.median_mm);
    visit("median_deg", record.median_deg);
    visit("worst_frames", record.worst_frames);
    visit("observed_over_predicted", record.observed_over_predicted);
}

// The "validation" member of a hand-eye result record; NaN figures are written as null.
nlohmann::json validationToJson(const ValidationRecord& record);
// Members that are missing or null take their defaults.
ValidationRecord validationFromJson(const nlohmann::json& object);

}  // namespace velk::io
