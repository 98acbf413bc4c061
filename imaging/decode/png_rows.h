#ifndef PNG_ROWS_H
#define PNG_ROWS_H

#include <optional>

#include "decoded_picture.h"
#include "load_progress.h"
#include "picture_file.h"

// Decodes a PNG file as cv::imread(name, IMREAD_COLOR) does, pixel for pixel, but keeps only the
// rows `rowsToRead` names; the others are inflated and unfiltered (each row needs the one above)
// and dropped, never backed by memory of their own. One thread inflates while another unfilters
// and converts. Nothing where it cannot be sure of matching the library: not a PNG, interlaced,
// nothing to leave out, over the library's size limits, an EXIF block, a chunk it does not know
// to be harmless, or any damage at all, even what the library passes over. The caller then
// decodes the file plainly. Progress is counted in `progress`, if given; a cancelled load gives
// nothing. With `shrinkRows`, the rows must be rowsReadByShrink's, and where RowShrink applies they
// are shrunk to display size as they come, the picture and its weighted gray, so that no row is
// kept at full width.
std::optional<DecodedPicture> decodePngRows(const PictureFile &file, RowsToRead rowsToRead,
                                            LoadProgress *progress = nullptr, bool shrinkRows = false);

#endif
