#ifndef EXIF_ORIENTATION_H
#define EXIF_ORIENTATION_H

#include <cstdio>

#include <jpeglib.h>

// The turn cv::imread gives a picture: it reads the IFD0 entries of the first APP1 block in
// order, keeps the first orientation it finds, and stops at the first entry it cannot read.
// Its readers of strings are followed exactly; an entry of a kind whose reader is not followed
// here, met before the orientation, makes the answer unknown.
enum : int { unknownOrientation = -1, noTurn = 1 };

int exifOrientation(jpeg_saved_marker_ptr markers);

#endif
