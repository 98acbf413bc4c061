#ifndef PICTURES_H
#define PICTURES_H

#include <QString>

#include <opencv2/core/mat.hpp>

#include <vector>

// Pictures made by the tests themselves.

// Smooth colour gradients with some noise and a few sharp edges, like a photograph.
cv::Mat photographLike(int width, int height, unsigned seed = 1);

// A small landscape drawn here (sky, sun, hills, a house): shows off every filter.
cv::Mat landscape(int width, int height);

// A JPEG whose EXIF block says how the picture is to be turned (orientation 1 to 8).
std::vector<unsigned char> jpegWithOrientation(const cv::Mat &picture, int orientation);

bool writeBytes(const QString &path, const std::vector<unsigned char> &bytes);
bool writeBytes(const QString &path, const QByteArray &bytes);

// Encodes the picture by the file name's extension and writes it; false on failure.
bool writePicture(const QString &path, const cv::Mat &picture);

#endif
