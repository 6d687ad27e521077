#include "core/opencv_threads.hpp"

#include <opencv2/core/utility.hpp>

namespace velk {

SingleThreadedOpenCv::SingleThreadedOpenCv() : previous_threads_(cv::getNumThreads()) {
    if (previous_threads_ != 1) {
        cv::setNumThreads(1);
    }
}

SingleThreadedOpenCv::~SingleThreadedOpenCv() {
    if (previous_threads_ != 1) {
        cv::setNumThreads(previous_threads_);
    }
}

void setOpenCvThreadCount(int n) {
    cv::setNumThreads(n <= 0 ? -1 : n);
}

int openCvThreadCount() {
    return cv::getNumThreads();
}

}  // namespace velk
