#pragma once

#include <algorithm>
#include <exception>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include "core/log.hpp"

namespace velk::calibration {

// Called on the calling thread as images finish detection: done of total images are through.
using DetectionProgress = std::function<void(int done, int total)>;

// How many images go to the thread pool at once: the whole batch when nobody listens for
// progress, otherwise a few per thread so that progress comes at a steady pace.
int detectionChunkSize(int count, bool reportsProgress);

// Runs detectOne(i) for every image index i in [0, count) on OpenCV's thread pool (as many
// threads as cv::getNumThreads()) and hands each outcome to collect(i, outcome) on the calling
// thread in ascending i, so results and log lines (those detectOne writes too) come out exactly
// as a sequential loop gives them. detectOne must touch nothing shared but what it only reads. progress, if set, is
// called on the calling thread after each chunk. An exception thrown for image i is rethrown on the calling thread once
// images 0 .. i-1 are collected, as a sequential loop would.
template <typename Outcome, typename DetectOne, typename Collect>
void detectEachImage(int count, const DetectOne& detectOne, const Collect& collect,
                     const DetectionProgress& progress = DetectionProgress()) {
    const int chunk = detectionChunkSize(count, static_cast<bool>(progress));
    for (int begin = 0; begin < count; begin += chunk) {
        const int end = std::min(count, begin + chunk);
        std::vector<Outcome> outcomes(static_cast<size_t>(end - begin));
        std::vector<std::exception_ptr> errors(static_cast<size_t>(end - begin));
        std::vector<std::vector<LogEntry>> lines(static_cast<size_t>(end - begin));
        cv::parallel_for_(
            cv::Range(begin, end),
            [&](const cv::Range& range) {
                for (int i = range.start; i < range.end; ++i) {
                    HeldLogLines held;
                    try {
                        outcomes[static_cast<size_t>(i - begin)] = detectOne(i);
                    } catch (...) {
                        errors[static_cast<size_t>(i - begin)] = std::current_exception();
                    }
                    lines[static_cast<size_t>(i - begin)] = held.take();
                }
            },
            static_cast<double>(end - begin));
        for (int i = begin; i < end; ++i) {
            sendLogLines(lines[static_cast<size_t>(i - begin)]);
            if (errors[static_cast<size_t>(i - begin)]) {
                std::rethrow_exception(errors[static_cast<size_t>(i - begin)]);
            }
            collect(i, outcomes[static_cast<size_t>(i - begin)]);
        }
        if (progress) {
            progress(end, count);
        }
    }
}

}  // namespace velk::calibration
