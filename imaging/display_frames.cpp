#include "display_frames.h"
#include "weighted_gray.h"

#include <opencv2/imgproc.hpp>

DisplayFrames deriveDisplayFrames(cv::Mat decoded)
{
    DisplayFrames frames;

    // Resizing works on each channel alone, so shrinking before the channel swap gives the
    // same pixels as swapping the full-size picture first, without a full-size copy.
    cv::Mat small;
    cv::resize(decoded, small, displaySize, 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(small, frames.rgb, cv::COLOR_BGR2RGB);

    // Everything derived from the display-size frame already has the display size.
    cv::cvtColor(frames.rgb, frames.gray, cv::COLOR_RGB2GRAY);

    cv::GaussianBlur(frames.rgb, frames.gauss, cv::Size(1, 1), 0, 0, cv::BORDER_DEFAULT);

    cv::Mat sobelX, sobelY;
    cv::Sobel(frames.gray, sobelX, CV_8U, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(frames.gray, sobelY, CV_8U, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::addWeighted(sobelX, 0.5, sobelY, 0.5, 0.0, frames.sobel, -1);

    cv::Laplacian(frames.gray, frames.laplace, CV_8U, 9, 1.0, 0.0, cv::BORDER_DEFAULT);

    // The decoded picture is not needed any more, so its own pixels become the weighted gray.
    weightedGray(decoded);
    cv::resize(decoded, frames.average, displaySize, 0, 0, cv::INTER_LINEAR);

    return frames;
}

cv::Mat reblurredFrame(const cv::Mat &colorFrame, int kernelSize)
{
    if (colorFrame.empty())
        return {};
    int size = kernelSize < 1 ? 1 : kernelSize;
    if (size % 2 == 0)
        ++size;
    cv::Mat blurred;
    cv::GaussianBlur(colorFrame, blurred, cv::Size(size, size), 0, 0, cv::BORDER_DEFAULT);
    cv::resize(blurred, blurred, displaySize, 0, 0, cv::INTER_LINEAR);
    return blurred;
}
