#include <iomanip>
#include <sstream>

#include "quality/calibration_benchmark.hpp"

namespace velk::quality {

std::string CalibrationBenchmark::format_results(const std::vector<BenchmarkResult>& results) {
    const std::string bar(64, '=');
    const std::string rule(64, '-');
    std::ostringstream text;
    text << bar << "\nBENCHMARK SUMMARY\n" << bar << "\n";
    text << std::left << std::setw(28) << "Backend" << std::right << std::setw(6) << "RPE" << std::setw(6) << "Held"
         << std::setw(6) << "RT"
         << "\n";
    text << rule << "\n";
    text << std::fixed << std::setprecision(2);
    for (const BenchmarkResult& result : results) {
        text << std::left << std::setw(28) << result.backend_name << std::right << std::setw(6)
             << result.reprojection_error << std::setw(6) << result.held_out_reprojection_error << std::setw(6);
        if (result.hand_eye_roundtrip_error < 0.0) {
            text << "-";
        } else {
            text << result.hand_eye_roundtrip_error;
        }
        text << "\n";
    }
    text << rule << "\n";
    return text.str();
}

}  // namespace velk::quality
