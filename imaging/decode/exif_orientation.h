#ifndef EXIF_ORIENTATION_H
#define EXIF_ORIENTATION_H

#include <cstdio>

#include <jpeglib.h>

// The turn cv::imread gives a JPEG whose saved markers these are (1 to 8; other values turn
// nothing). It reads the first directory of the first APP1 block entry by entry, each kind as
// its own reader does, keeps the first orientation it meets, and stops at the first read that
// does not fit in the block, keeping what it had. Unknown only where the library's own bounds
// checks would wrap around, which a 64-bit build never meets.
enum : int { unknownOrientation = -1, noTurn = 1 };

int exifOrientation(jpeg_saved_marker_ptr markers);

#endif
