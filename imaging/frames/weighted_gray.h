#ifndef WEIGHTED_GRAY_H
#define WEIGHTED_GRAY_H

#include <opencv2/core/mat.hpp>

// Turns a 3-channel 8-bit frame (BGR) into gray in place: all three channels become
// 0.3 R + 0.59 G + 0.11 B, evaluated in double precision in that order and truncated.
// Rows are walked by their stride; bytes between rows are never touched. Frames without
// three 8-bit channels, or without rows or columns, are left as they are.
void weightedGray(cv::Mat &frame);

// The same conversion as a plain double-precision loop: the definition the fast one must match.
void weightedGrayReference(cv::Mat &frame);

// The gray value of one pixel, by definition. Unnamed, so that code built for a wider
// instruction set keeps its own copy instead of lending it to the rest of the program.
namespace {
inline unsigned char weightedGrayOf(unsigned char blue, unsigned char green, unsigned char red)
{
    const double value = (red * 0.3 + green * 0.59) + blue * 0.11;
    return static_cast<unsigned char>(static_cast<int>(value));
}
} // namespace

#endif
