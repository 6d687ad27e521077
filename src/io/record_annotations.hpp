#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "io/json_file_reader.hpp"

namespace velk::io {

// One check of a verdict: its name, pass / fail / nothing to judge (absent), the figures and the limit.
struct CheckRecord {
    std::string name;
    std::optional<bool> passed;
    std::string figures;
    std::string limit;
};

// The judgement of a result: passed, the verdict line, the likely causes of a failure, every check and the
// warnings a passing result leaves to act on (left out of the file when there are none).
struct VerdictRecord {
    bool passed = false;
    std::string text;
    std::vector<std::string> causes;
    std::vector<CheckRecord> checks;
    std::vector<std::string> warnings;
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

// One correction of the arm's kinematic chain: estimated with its 1-sigma, or held at nominal and why.
struct KinematicParameterRecord {
    std::string name;
    std::string unit;  // "rad" or "m"
    double value = 0.0;
    std::optional<double> sigma;  // written as null when held
    bool estimated = false;
    std::string held;  // why the pictures do not determine it; empty when estimated
};

// The views left out of the fit, predicted with the nominal chain and with the calibrated one: RMS corner
// error over every predicted corner and the median board position and orientation error.
struct KinematicPredictionRecord {
    int folds = 0;
    double nominal_px = 0.0;
    double calibrated_px = 0.0;
    double nominal_mm = 0.0;
    double calibrated_mm = 0.0;
    double nominal_deg = 0.0;
    double calibrated_deg = 0.0;
};

// A hand-eye calibration through the arm's kinematic chain: the nominal model it started from, the
// corrections, the mounts it found with their 1-sigma ([x, y, z] mm then [rx, ry, rz] deg), the flange
// pose of every view through the corrected chain, the held-out prediction and whether the corrected chain
// predicts better than the nominal one (then the record's transforms are the chain calibration's).
struct KinematicsRecord {
    std::string model;
    std::string mode;  // "offsets" or "full"
    std::string base_frame;
    std::string flange_frame;
    std::vector<KinematicParameterRecord> parameters;
    std::vector<cv::Mat> camera_mount_T_camera;  // one transform; a list so that it is stored as poses are
    std::vector<cv::Mat> target_mount_T_target;
    std::vector<double> camera_sigma;
    std::vector<double> target_sigma;
    std::vector<cv::Mat> corrected_flange_poses;  // base_T_flange per view used
    double chi_square = 0.0;
    double chi_square_limit = 0.0;
    std::optional<KinematicPredictionRecord> held_out;
    bool helps = false;
    bool applied = false;
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
    std::optional<KinematicsRecord> kinematics;  // hand-eye results calibrated through the arm's chain
};

// Adds the annotations that are set to a record's JSON object.
void writeAnnotations(const RecordAnnotations& annotations, nlohmann::json& document);
// Reads the annotations a record's JSON object holds; a malformed one is refused through `reader`, naming it.
void readAnnotations(const JsonFileReader& reader, const nlohmann::json& document, RecordAnnotations& annotations);

}  // namespace velk::io
