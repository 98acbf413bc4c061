#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include <QString>

#include <opencv2/core/mat.hpp>

#include <optional>

#include "decoded_picture.h"
#include "display_frames.h"
#include "load_progress.h"
#include "picture_file.h"

// Decodes an image file in colour (8-bit BGR, three channels, EXIF orientation applied),
// exactly as cv::imread of its name does, damaged and cut-short files included.
// Any file name opens, whatever characters it holds. Returns an empty frame when the
// file is not a regular file or cannot be decoded; never writes a temporary file.
// Throws cv::Exception or std::bad_alloc if the decoder itself fails.
cv::Mat decodeImageFile(const QString &path);
cv::Mat decodeImageFile(const PictureFile &file);

// The same decode, of which only the rows that will be read need be kept. JPEG and PNG files
// keep only those rows, with pixels identical to the plain decode's; other files decode whole.
// `progress`, if given, counts the rows of a JPEG or PNG decode; once its `cancelled` is set, the
// decode stops where it can and gives an empty picture. With `shrinkRows`, the rows must be
// rowsReadByShrink's, and a route that can may shrink them as they come instead of keeping them.
DecodedPicture decodeImageRows(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress = nullptr,
                               bool shrinkRows = false);

// Decodes the file and derives the six display frames; nothing if the file cannot be decoded
// or the library fails on the way (an absurd size, memory exhaustion, a decoder error), and
// nothing once `progress`'s `cancelled` is set. Runs on any thread; the whole decode stays on it.
std::optional<DisplayFrames> loadDisplayFrames(const QString &path, LoadProgress *progress = nullptr);
std::optional<DisplayFrames> loadDisplayFrames(const PictureFile &file, LoadProgress *progress = nullptr);

#endif
