#ifndef HEIF_PICTURE_H
#define HEIF_PICTURE_H

#include <opencv2/core/mat.hpp>

#include <cstddef>

#include "decoded_picture.h"
#include "load_progress.h"
#include "picture_file.h"

// Whether a file starting with these bytes is a HEIF (HEIC) or AVIF file: an 'ftyp' box first,
// naming one of their brands.
bool startsLikeHeif(const unsigned char *bytes, std::size_t size);

// The file's primary image as libheif decodes it, its rotation, mirroring and cropping applied,
// as 8-bit BGR: alpha dropped, deeper samples cut to their high 8 bits. Empty if libheif fails,
// the picture is larger than OpenCV's decoders allow, or `progress` asks to stop.
// Tiles decode on one thread per core; progress counts them where libheif reports them.
cv::Mat decodeHeif(const PictureFile &file, LoadProgress *progress = nullptr);

// The same, of which only the rows `rowsToRead` names (if given) are in BGR.
DecodedPicture decodeHeifRows(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress = nullptr);

// Loads libheif's decoders now, for a process that can open no libraries later.
void prepareHeifDecoding();

#endif
