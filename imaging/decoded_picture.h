#ifndef DECODED_PICTURE_H
#define DECODED_PICTURE_H

#include <opencv2/core/mat.hpp>

#include <vector>

#include "display_frames.h"

// A decoded picture of which only some rows may have been decoded: what a decoding route
// hands to the making of the six frames.
struct DecodedPicture
{
    cv::Mat pixels;        // 8-bit BGR at full size, unless the rows were shrunk as they came
    std::vector<int> rows; // the rows that hold pixels, ascending; empty when every row does
    int bands = 1;         // how many bands of it were decoded side by side
    ShrunkPicture shrunk;  // where the rows were shrunk to display size as they came
};

// The rows of a picture of the given size that will be read, ascending.
using RowsToRead = std::vector<int> (*)(cv::Size pictureSize);

#endif
