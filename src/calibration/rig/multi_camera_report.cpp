#include "calibration/rig/multi_camera_report.hpp"

#include <cmath>
#include <sstream>

#include "calibration/refinement/values_with_sigma.hpp"
#include "core/picture_names.hpp"
#include "core/pose.hpp"

namespace velk::calibration {
namespace {

const std::string kBar70(70, '=');
const std::string kBar90(90, '=');

void writeHeading(std::ostringstream& text, const std::string& bar, const std::string& title) {
    text << "\n" << bar << "\n" << title << "\n" << bar << "\n";
}

void writeIntrinsics(std::ostringstream& text, const MultiCameraReportInput& input) {
    // A fisheye rig says so: its d rows are the equidistant model's k1..k4, not OpenCV's pinhole distortion.
    const bool fisheye = input.result.camera_model == "fisheye";
    writeHeading(text, kBar70,
                 fisheye ? "PER-CAMERA INTRINSICS  (fisheye model: d = k1, k2, k3, k4)" : "PER-CAMERA INTRINSICS");
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

void writeCameraRefinement(std::ostringstream& text, const RigRefinement& refinement, int camera) {
    const std::vector<double> pose = transformationMatrixToPose(refinement.reference_T_camera_list[camera]);
    const PoseSigma& sigma = refinement.camera_sigmas[camera];
    text << "\n[cam_" << camera << "]\n  "
         << formatValuesWithSigma("translation [mm]", {"x", "y", "z"}, {pose[0] * 1000, pose[1] * 1000, pose[2] * 1000},
                                  sigma.translation_mm, sigma.translation_norm_mm)
         << "\n  "
         << formatValuesWithSigma("rotation [deg]", {"rx", "ry", "rz"}, {pose[3], pose[4], pose[5]}, sigma.rotation_deg,
                                  sigma.rotation_norm_deg)
         << "\n";
    const std::vector<double>& intrinsic = refinement.intrinsic_sigmas[camera];
    if (intrinsic.size() == 4) {
        const cv::Mat& k = refinement.intrinsic_matrices[camera];
        text << "  "
             << formatValuesWithSigma("intrinsics [px]", {"fx", "fy", "cx", "cy"},
                                      {k.at<double>(0, 0), k.at<double>(1, 1), k.at<double>(0, 2), k.at<double>(1, 2)},
                                      intrinsic, -1.0)
             << "\n";
    }
}

void writeRefinement(std::ostringstream& text, const MultiCameraResult& result) {
    writeHeading(text, kBar70, "JOINT REFINEMENT  -  reference_T_camera with 1-sigma");
    const RigRefinement& refinement = *result.refinement;
    if (!refinement.refined) {
        text << "  Not applied: " << refinement.reason << "; pairwise result kept.\n";
        return;
    }
    text << "  Solver: " << refinement.summary.iterations << " iterations, cost " << refinement.summary.initial_cost
         << " -> " << refinement.summary.final_cost << (refinement.summary.converged ? ", converged" : "") << "\n";
    text << "  Frames used: " << refinement.frames_used.size() << ", RMS reprojection error: " << refinement.rms_px
         << " px over " << refinement.corner_count << " corners\n";
    for (size_t k = 0; k < refinement.reference_T_camera_list.size(); ++k) {
        if (static_cast<int>(k) != result.reference_index && !refinement.reference_T_camera_list[k].empty()) {
            writeCameraRefinement(text, refinement, static_cast<int>(k));
        }
    }
    text << "  Outlier views (kept):";
    if (refinement.outlier_views.empty()) {
        text << " none";
    }
    for (int view : refinement.outlier_views) {
        text << " cam_" << refinement.view_cameras[view] << "/frame "
             << pictureLabel(result.image_names, refinement.view_frames[view]);
    }
    text << "\n";
}

void writeTriangulation(std::ostringstream& text, const TriangulationReport& report, double squareLength,
                        const std::vector<std::string>& image_names) {
    writeHeading(text, kBar70,
                 "TRIANGULATION VALIDATION  (frame " + pictureLabel(image_names, report.frame_index) + ")");
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
    if (input.result.refinement) {
        writeRefinement(text, input.result);
    }
    if (input.result.validation) {
        text << formatHeldOutViewsSection(*input.result.validation, "frame", input.result.image_names);
    }
    if (input.triangulation != nullptr) {
        writeTriangulation(text, *input.triangulation, input.square_length_m, input.result.image_names);
    }
    if (!input.subsets.empty()) {
        writeSubsets(text, input.subsets);
    }
    return text.str();
}

}  // namespace velk::calibration
