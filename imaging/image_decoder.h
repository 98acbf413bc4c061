#ifndef IMAGE_DECODER_H
#define IMAGE_DECODER_H

#include <QString>

#include <opencv2/core/mat.hpp>

// The image decoders live in a module of their own, loaded when the first picture is opened:
// OpenCV's codec library pulls in well over a hundred shared libraries, which nothing on
// screen needs before then. See image_file.h for what the functions do.
struct ImageDecoder
{
    cv::Mat (*decodeFile)(const QString &path);
};

// The module's one exported function, by name, and its type.
#define VIREOSCOPE_IMAGE_DECODER_ENTRY "vireoscopeImageDecoder"
using ImageDecoderEntry = const ImageDecoder *(*)();

#endif
