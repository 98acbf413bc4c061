#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include <QString>

#include <opencv2/core/mat.hpp>

#include <optional>

#include "display_frames.h"

// Decodes an image file in colour (8-bit BGR, three channels, EXIF orientation applied),
// exactly as cv::imread of its name does, damaged and cut-short files included.
// Any file name opens, whatever characters it holds. Returns an empty frame when the
// file is not a regular file or cannot be decoded; never writes a temporary file.
// Throws cv::Exception or std::bad_alloc if the decoder itself fails.
cv::Mat decodeImageFile(const QString &path);

// Decodes the file and derives the six display frames; nothing if the file cannot be decoded
// or the library fails on the way (an absurd size, memory exhaustion, a decoder error).
std::optional<DisplayFrames> loadDisplayFrames(const QString &path);

#endif
