#ifndef DECODED_PICTURE_H
#define DECODED_PICTURE_H

#include <opencv2/core/mat.hpp>

#include <vector>

// A decoded picture of which only some rows may have been decoded: what a decoding route
// hands to the making of the six frames.
struct DecodedPicture
{
    cv::Mat pixels;        // 8-bit BGR at full size
    std::vector<int> rows; // the rows that hold pixels, ascending; empty when every row does
    int bands = 1;         // how many bands of it were decoded side by side
};

// The rows of a picture of the given size that will be read, ascending.
using RowsToRead = std::vector<int> (*)(cv::Size pictureSize);

#endif
