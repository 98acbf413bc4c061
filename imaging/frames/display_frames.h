#ifndef DISPLAY_FRAMES_H
#define DISPLAY_FRAMES_H

#include <opencv2/core/mat.hpp>

#include <optional>
#include <vector>

// Every shown frame has this size; pictures are stretched to it whatever their aspect ratio.
inline const cv::Size displaySize(256, 192);

// The six pictures the window shows for one decoded picture.
struct DisplayFrames
{
    cv::Mat rgb;     // the picture, RGB; also what every re-blur starts from
    cv::Mat gray;    // one channel
    cv::Mat gauss;   // RGB, blurred with a 1 x 1 kernel
    cv::Mat sobel;   // one channel, mean of the x and y derivatives
    cv::Mat laplace; // one channel, aperture 9
    cv::Mat average; // three equal channels, the weighted gray of the full-size picture
    cv::Size pictureSize; // of the decoded picture, as it is shown (EXIF turning applied)
};

// All the six frames need of a picture: it and its weighted gray, shrunk to display size (8-bit
// BGR), and its size.
struct ShrunkPicture
{
    cv::Mat picture;
    cv::Mat weightedGray;
    cv::Size pictureSize;
};

// The rows of a picture of this size that its shrink to display size reads, ascending: two
// source rows for each display row, every row when the picture is no larger than the display.
std::vector<int> rowsReadByShrink(cv::Size pictureSize);

// Derives the six frames from a decoded 8-bit BGR picture. The picture's own pixels are
// turned into its weighted gray on the way, so pass a frame nobody else needs. Where only
// some rows were decoded, `decodedRows` lists them (they must include rowsReadByShrink's),
// and no other row is read or written.
// Throws cv::Exception or std::bad_alloc if the library fails.
DisplayFrames deriveDisplayFrames(cv::Mat decoded, const std::vector<int> &decodedRows = {});
DisplayFrames deriveDisplayFrames(const ShrunkPicture &shrunk);

// The colour frame blurred with a square Gaussian kernel of the given size, at display size.
// Kernel sizes must be odd: an even size is taken up to the next odd one, sizes below 1 as 1.
// An empty colour frame gives an empty result.
cv::Mat reblurredFrame(const cv::Mat &colorFrame, int kernelSize);

#endif
