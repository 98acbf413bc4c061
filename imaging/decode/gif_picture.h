#ifndef GIF_PICTURE_H
#define GIF_PICTURE_H

#include <opencv2/core/mat.hpp>

#include <cstddef>

#include "load_progress.h"
#include "picture_file.h"

// Whether a file starting with these bytes is a GIF.
bool startsLikeGif(const unsigned char *bytes, std::size_t size);

// The first frame as it first appears, as 8-bit BGR: the logical screen in its background colour
// (black without a global colour table), the first image placed on it at its offset, with its own
// colour table or else the global one; its transparent pixels, and indices past the table's end,
// show the background and black. Empty if the file ends before the first image is whole, or the
// screen is larger than OpenCV's decoders allow. `progress` counts the image's rows on the screen.
cv::Mat decodeGif(const PictureFile &file, LoadProgress *progress = nullptr);

#endif
