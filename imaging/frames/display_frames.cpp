#include "display_frames.h"
#include "weighted_gray.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

std::vector<int> rowsReadByShrink(cv::Size pictureSize)
{
    const int height = pictureSize.height;
    std::vector<int> rows;
    // A picture no taller than the display is copied or stretched: every row is read.
    if (height <= displaySize.height) {
        for (int row = 0; row < height; ++row)
            rows.push_back(row);
        return rows;
    }
    // The shrink's own choice (cv::resize, INTER_LINEAR): display row y blends source rows
    // floor((y + 0.5) * scale - 0.5) and the one below, clamped to the picture. At exactly half
    // the size it averages 2 x 2 blocks instead, which reads the same rows 2y and 2y + 1.
    const double scale = 1. / (double(displaySize.height) / height);
    for (int y = 0; y < displaySize.height; ++y) {
        const int top = cvFloor(static_cast<float>((y + 0.5) * scale - 0.5));
        for (const int row : {top, top + 1}) {
            const int clamped = std::clamp(row, 0, height - 1);
            if (rows.empty() || rows.back() < clamped)
                rows.push_back(clamped);
        }
    }
    return rows;
}

DisplayFrames deriveDisplayFrames(cv::Mat decoded, const std::vector<int> &decodedRows)
{
    // Resizing works on each channel alone, so shrinking before the channel swap gives the
    // same pixels as swapping the full-size picture first, without a full-size copy.
    ShrunkPicture shrunk;
    shrunk.pictureSize = decoded.size();
    cv::resize(decoded, shrunk.picture, displaySize, 0, 0, cv::INTER_LINEAR);

    // The decoded picture is not needed any more, so its own pixels become the weighted gray:
    // each pixel on its own, so only the decoded rows need it.
    if (decodedRows.empty()) {
        weightedGray(decoded);
    } else {
        for (std::size_t first = 0; first < decodedRows.size();) {
            std::size_t last = first;
            while (last + 1 < decodedRows.size() && decodedRows[last + 1] == decodedRows[last] + 1)
                ++last;
            cv::Mat run = decoded.rowRange(decodedRows[first], decodedRows[last] + 1);
            weightedGray(run);
            first = last + 1;
        }
    }
    cv::resize(decoded, shrunk.weightedGray, displaySize, 0, 0, cv::INTER_LINEAR);
    return deriveDisplayFrames(shrunk);
}

DisplayFrames deriveDisplayFrames(const ShrunkPicture &shrunk)
{
    DisplayFrames frames;
    frames.pictureSize = shrunk.pictureSize;
    cv::cvtColor(shrunk.picture, frames.rgb, cv::COLOR_BGR2RGB);

    // Everything derived from the display-size frame already has the display size.
    cv::cvtColor(frames.rgb, frames.gray, cv::COLOR_RGB2GRAY);

    cv::GaussianBlur(frames.rgb, frames.gauss, cv::Size(1, 1), 0, 0, cv::BORDER_DEFAULT);

    cv::Mat sobelX, sobelY;
    cv::Sobel(frames.gray, sobelX, CV_8U, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(frames.gray, sobelY, CV_8U, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::addWeighted(sobelX, 0.5, sobelY, 0.5, 0.0, frames.sobel, -1);

    cv::Laplacian(frames.gray, frames.laplace, CV_8U, 9, 1.0, 0.0, cv::BORDER_DEFAULT);

    frames.average = shrunk.weightedGray;
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
