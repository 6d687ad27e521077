#include "calibration/multi_camera_report.hpp"

#include <sstream>

namespace velk::calibration {
namespace {

const std::string kBar70(70, '=');
const std::string kBar90(90, '=');

void writeHeading(std::ostringstream& text, const std::string& bar, const std::string& title) {
    text << "\n" << bar << "\n" << title << "\n" << bar << "\n";
}

void writeIntrinsics(std::ostringstream& text, const MultiCameraReportInput& input) {
    writeHeading(text, kBar70, "PER-CAMERA INTRINSICS");
    for (int i = 0; i < input.num_cameras; ++i) {
        text << "\n[cam_" << i << "]  intrinsic RPE: " << input.result.intrinsic_reprojection_errors[i] << " px\n";
        text << "K =\n" << input.result.intrinsic_matrices[i] << "\n";
        text << "d = " << input.result.distortion_coefficients[i] << "\n";
    }
}

void writeExtrinsics(std::ostringstream& text, const MultiCameraReportInput& input) {
    const int r = input.result.reference_index;
    writeHeading(text, kBar70, "EXTRINSICS  -  reference_T_camera  (reference = cam_" + std::to_string(r) + ")");
    for (int i = 0; i < input.num_cameras; ++i) {
        const cv::Mat& pose = input.result.reference_T_camera_list[i];
        if (i == r) {
            text << "\n[cam_" << i << "]  identity (reference)\n";
        } else if (pose.empty()) {
            text << "\n[cam_" << i << "]  FAILED  -  too few shared detections with cam_" << r << "\n";
        } else {
            text << "\n[cam_" << i << "]  stereo RMS vs reference: " << input.result.pair_reprojection_errors[i]
                 << " px\n";
            text << "reference_T_cam_" << i << " =\n" << pose << "\n";
        }
    }
}

void writeTriangulation(std::ostringstream& text, const TriangulationReport& report, double squareLength) {
    writeHeading(text, kBar70, "TRIANGULATION VALIDATION  (frame " + std::to_string(report.frame_index) + ")");
    text << "  Expected square length: " << squareLength * 1000 << " mm\n";
    text << "  Co-planarity (3rd SV):  " << report.plane_thickness_m * 1000 << " mm\n";
    for (size_t i = 0; i < report.rms_per_camera.size(); ++i) {
        text << "  Reprojection RMS (cam_" << i << "): ";
        const int count = i < report.counts_per_camera.size() ? report.counts_per_camera[i] : 0;
        if (count != 0) {
            text << report.rms_per_camera[i] << " px over " << count << " corners\n";
        } else {
            text << "no observations\n";
        }
    }
}

void writeSubsets(std::ostringstream& text, const std::vector<SubsetResult>& subsets) {
    writeHeading(text, kBar90, "SUBSET SUMMARY");
    for (const SubsetResult& subset : subsets) {
        text << "(";
        for (size_t j = 0; j < subset.subset.size(); ++j) {
            text << (j ? ", " : "") << "cam_" << subset.subset[j];
        }
        text << "): ok=" << (subset.result.ok ? "yes" : "no");
        if (subset.has_triangulation) {
            text << "  plane_thickness_mm=" << subset.triangulation.plane_thickness_m * 1000;
        }
        text << "\n";
    }
}

}  // namespace

std::string formatMultiCameraReport(const MultiCameraReportInput& input) {
    std::ostringstream text;
    writeIntrinsics(text, input);
    writeExtrinsics(text, input);
    if (input.triangulation != nullptr) {
        writeTriangulation(text, *input.triangulation, input.square_length_m);
    }
    if (!input.subsets.empty()) {
        writeSubsets(text, input.subsets);
    }
    return text.str();
}

}  // namespace velk::calibration
