#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "io/json_file_reader.hpp"

namespace velk::io {

// One check of a verdict: its name, pass / fail / nothing to judge (absent), the figures and the limit.
struct CheckRecord {
    std::string name;
    std::optional<bool> passed;
    std::string figures;
    std::string limit;
};

// The judgement of a result: passed, the verdict line, the likely causes of a failure and every check.
struct VerdictRecord {
    bool passed = false;
    std::string text;
    std::vector<std::string> causes;
    std::vector<CheckRecord> checks;
};

// The intrinsics a hand-eye result was solved with and where they came from.
struct IntrinsicsUsedRecord {
    std::string source;  // "given" or "calibrated from the pictures"
    std::vector<std::vector<double>> camera_matrix;
    std::vector<double> distortion_coefficients;
    bool refined = false;
};

// Whether the saved result is the refined one, what was refined, or why not.
struct RefinementAppliedRecord {
    bool refined = false;
    std::vector<std::string> what;
    std::string reason;
    std::optional<double> rms_px;  // written as null when not refined
};

// What a result record says of how its result was obtained and judged, beside the result itself. Every
// member is optional: it is written only when set, and a file without it (an older one) loads with it unset.
struct RecordAnnotations {
    std::map<std::string, std::string> units;  // what the numbers are in; empty: not written
    std::optional<IntrinsicsUsedRecord> intrinsics_used;
    std::optional<RefinementAppliedRecord> refinement_applied;
    std::optional<std::string> saved_method;
    std::optional<std::vector<std::string>> image_names;  // the file name of each frame used
    std::optional<VerdictRecord> verdict;
};

// Adds the annotations that are set to a record's JSON object.
void writeAnnotations(const RecordAnnotations& annotations, nlohmann::json& document);
// Reads the annotations a record's JSON object holds; a malformed one is refused through `reader`, naming it.
void readAnnotations(const JsonFileReader& reader, const nlohmann::json& document, RecordAnnotations& annotations);

}  // namespace velk::io
