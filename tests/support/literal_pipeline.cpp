#include "literal_pipeline.h"
#include "weighted_gray.h"

#include <opencv2/imgproc.hpp>

DisplayFrames literalDisplayFrames(const cv::Mat &sourceFrame)
{
    const cv::Size size(256, 192);
    DisplayFrames out;
    cv::Mat rgbFrame;
    cv::cvtColor(sourceFrame, rgbFrame, cv::COLOR_BGR2RGB, 0);
    cv::resize(rgbFrame, rgbFrame, size, 0, 0, cv::INTER_LINEAR);
    out.rgb = rgbFrame;

    cv::Mat grayFrame;
    cv::cvtColor(rgbFrame, grayFrame, cv::COLOR_RGB2GRAY, 0);
    out.gray = grayFrame;

    cv::Mat gaussFrame;
    cv::GaussianBlur(rgbFrame, gaussFrame, cv::Size(1, 1), 0, 0, cv::BORDER_DEFAULT);
    cv::resize(gaussFrame, gaussFrame, size, 0, 0, cv::INTER_LINEAR);
    out.gauss = gaussFrame;

    cv::Mat sobelXFrame, sobelYFrame, sobelFrame;
    cv::Sobel(grayFrame, sobelXFrame, CV_8U, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(grayFrame, sobelYFrame, CV_8U, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::addWeighted(sobelXFrame, 0.5, sobelYFrame, 0.5, 0.0, sobelFrame, -1);
    cv::resize(sobelFrame, sobelFrame, size, 0, 0, cv::INTER_LINEAR);
    out.sobel = sobelFrame;

    cv::Mat grayCopy = grayFrame.clone();
    cv::Mat laplaceFrame;
    cv::Laplacian(grayCopy, laplaceFrame, CV_8U, 9, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::resize(laplaceFrame, laplaceFrame, size, 0, 0, cv::INTER_LINEAR);
    out.laplace = laplaceFrame;

    cv::Mat averageFrame = sourceFrame.clone();
    weightedGrayReference(averageFrame);
    cv::resize(averageFrame, averageFrame, size, 0, 0, cv::INTER_LINEAR);
    out.average = averageFrame;
    return out;
}

cv::Mat literalReblur(const cv::Mat &colorFrame, int kernelSize)
{
    cv::Mat blurredFrame;
    cv::GaussianBlur(colorFrame, blurredFrame, cv::Size(kernelSize, kernelSize), 0, 0, cv::BORDER_DEFAULT);
    cv::resize(blurredFrame, blurredFrame, cv::Size(256, 192), 0, 0, cv::INTER_LINEAR);
    return blurredFrame;
}
