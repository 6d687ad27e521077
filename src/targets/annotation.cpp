#include "targets/annotation.hpp"

#include <opencv2/imgproc.hpp>

namespace velk {

cv::Mat annotatedCopy(const cv::Mat& image, const std::function<void(cv::Mat&)>& draw) {
    if (image.channels() != 4) {
        cv::Mat copy = image.clone();
        draw(copy);
        return copy;
    }
    cv::Mat colour;
    cv::cvtColor(image, colour, cv::COLOR_BGRA2BGR);
    draw(colour);
    cv::Mat annotated(image.size(), image.type());
    const int fromTo[] = {0, 0, 1, 1, 2, 2, 6, 3};  // source channels count across both inputs
    const cv::Mat sources[] = {colour, image};
    cv::mixChannels(sources, 2, &annotated, 1, fromTo, 4);
    return annotated;
}

}  // namespace velk
