#ifndef JPEG_ROWS_H
#define JPEG_ROWS_H

#include <QString>

#include <optional>

#include "decoded_picture.h"
#include "load_progress.h"
#include "picture_file.h"

// One band per core, unless told otherwise.
int coresForBands();

// Decodes a JPEG file as cv::imread(name, IMREAD_COLOR) does, pixel for pixel, but only the rows
// of the turned picture that `rowsToRead` names; the other rows are never decoded nor backed by
// memory. Nothing where it cannot be sure of matching the library: not a JPEG, nothing to leave
// out, an EXIF block it does not read exactly as the library does, a picture over the library's
// size limits, or any decoder error. The caller then decodes the file plainly.
// A sequential JPEG with restart markers is decoded in up to `bands` bands side by side, cut
// where the markers allow. Progress is counted in `progress`, if given; a cancelled load gives
// nothing.
std::optional<DecodedPicture> decodeJpegRows(const PictureFile &file, RowsToRead rowsToRead,
                                             LoadProgress *progress = nullptr, int bands = coresForBands());
std::optional<DecodedPicture> decodeJpegRows(const QString &path, RowsToRead rowsToRead, LoadProgress *progress = nullptr,
                                             int bands = coresForBands());

// Whether this build decodes JPEG rows itself: only where the build showed that OpenCV's decoder
// loads the very libjpeg linked here. Elsewhere decodeJpegRows always hands the file over.
bool jpegRowsDecodedDirectly();

#endif
