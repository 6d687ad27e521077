#include "calibration/hand_eye/hand_eye_records.hpp"

#include "calibration/hand_eye/hand_eye_refinement_record.hpp"
#include "calibration/hand_eye/hand_eye_validation_record.hpp"

namespace velk::calibration {
namespace {

// The members both set-ups' records share: one camera, the solver, the frames, refinement and validation.
template <typename Record>
void fillShared(Record& record, const std::string& method, const HandEyeOutcome& result,
                const cv::Mat& closed_form_camera_transform, std::size_t total_images) {
    record.reference_index = 0;
    record.num_cameras = 1;
    record.method = method;
    record.num_frames_used = static_cast<int>(result.valid_image_list.size());
    record.num_frames_total = static_cast<int>(total_images);
    record.camera_model = result.camera_model;
    if (!closed_form_camera_transform.empty()) {
        record.refinement = handEyeRefinementRecord(result.refined, result.refinement_reason,
                                                    closed_form_camera_transform, result.refinement);
    }
    if (result.validation) {
        record.validation = handEyeValidationRecord(*result.validation);
    }
}

}  // namespace

io::HandEyeResultRecord handEyeResultRecord(const HandEyeResult& result, const std::string& method,
                                            std::size_t total_images) {
    io::HandEyeResultRecord record;
    fillShared(record, method, result, result.closed_form_tcp_T_camera, total_images);
    record.tcp_T_camera_list = {result.tcp_T_camera};
    return record;
}

io::EyeToHandResultRecord eyeToHandResultRecord(const EyeToHandResult& result, std::size_t total_images) {
    io::EyeToHandResultRecord record;
    fillShared(record, result.method, result, result.closed_form_robot_T_camera, total_images);
    record.robot_T_camera_list = {result.robot_T_camera};
    record.tcp_T_target = result.tcp_T_target;
    return record;
}

}  // namespace velk::calibration
