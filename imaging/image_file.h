#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include <QString>

#include <opencv2/core/mat.hpp>

#include <vector>

#include "load_progress.h"

// Decodes an image file in colour (8-bit BGR, three channels, EXIF orientation applied),
// exactly as cv::imread of its name does, damaged and cut-short files included.
// Any file name opens, whatever characters it holds. Returns an empty frame when the
// file is not a regular file or cannot be decoded; never writes a temporary file.
// Throws cv::Exception or std::bad_alloc if the decoder itself fails.
cv::Mat decodeImageFile(const QString &path);

// A decoded picture of which only some rows may have been decoded.
struct DecodedPicture
{
    cv::Mat pixels;        // 8-bit BGR at full size
    std::vector<int> rows; // the rows that hold pixels, ascending; empty when every row does
    int bands = 1;         // how many bands of it were decoded side by side
};

// The rows of a picture of the given size that will be read, ascending.
using RowsToRead = std::vector<int> (*)(cv::Size pictureSize);

// The same decode, of which only the rows that will be read need be kept. JPEG files decode
// only those rows, with pixels identical to the plain decode's; other files decode whole.
// `progress`, if given, counts the rows of a JPEG decode; once its `cancelled` is set, the
// decode stops where it can and gives an empty picture.
DecodedPicture decodeImageRows(const QString &path, RowsToRead rowsToRead, LoadProgress *progress = nullptr);

#endif
