#include "benchmarks.h"
#include "timing.h"

#include "weighted_gray.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

namespace {

// A photograph-like 6000 x 4000 frame: smooth colour gradients with sensor-like noise.
cv::Mat photographLike()
{
    cv::Mat small(40, 60, CV_8UC3);
    cv::randu(small, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat frame;
    cv::resize(small, frame, cv::Size(6000, 4000), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(frame.size(), CV_8UC3);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(8));
    frame += noise;
    return frame;
}

void compare(const char *label, const char *suffix, const cv::Mat &source)
{
    cv::Mat frame(source.size(), source.type());
    cv::Mat copy(source.size(), source.type());
    const auto restore = [&] { source.copyTo(frame); };
    // Alternate the two so that both see the same state of the machine.
    std::vector<double> copyRuns, fastRuns;
    for (int round = 0; round < 9; ++round) {
        copyRuns.push_back(medianSeconds(3, [&] { source.copyTo(copy); }));
        fastRuns.push_back(medianSeconds(3, restore, [&] { weightedGray(frame); }));
    }
    const double copySeconds = median(copyRuns);
    const double fastSeconds = median(fastRuns);
    const double plainSeconds = medianSeconds(5, restore, [&] { weightedGrayReference(frame); });
    std::printf("%s: copyTo %.2f ms, weighted gray %.2f ms, plain double loop %.2f ms\n", label,
                copySeconds * 1e3, fastSeconds * 1e3, plainSeconds * 1e3);
    std::printf("weighted_gray_vs_copy%s: %.3f\n", suffix, fastSeconds / copySeconds);
    std::printf("weighted_gray_speedup_vs_scalar%s: %.3f\n", suffix, plainSeconds / fastSeconds);
}

} // namespace

void benchWeightedGray()
{
    const cv::Mat photograph = photographLike();
    compare("photograph 6000x4000", "", photograph);

    // Neutral grays take the exceptional path on every pixel.
    cv::Mat gray;
    cv::cvtColor(photograph, gray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(gray, gray, cv::COLOR_GRAY2BGR);
    compare("gray picture 6000x4000", "_gray_picture", gray);
}
