#ifndef PICTURES_H
#define PICTURES_H

#include <QString>
#include <QStringList>

#include <opencv2/core/mat.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Pictures made by the tests themselves.

// Smooth colour gradients with some noise and a few sharp edges, like a photograph.
cv::Mat photographLike(int width, int height, unsigned seed = 1);

// A small landscape drawn here (sky, sun, hills, a house): shows off every filter.
cv::Mat landscape(int width, int height);

// A JPEG whose EXIF block says how the picture is to be turned (orientation 1 to 8).
std::vector<unsigned char> jpegWithOrientation(const cv::Mat &picture, int orientation);

// One entry of an EXIF block's first directory: its tag, its type (2 text, 3 short, 4 long,
// 5 rational) and its numbers (two for each rational) or its text. Values of more than four bytes
// are put after the directory, where the entry points, unless `pointsAt` says where the entry
// points instead (the values are then not written at all).
struct ExifEntry
{
    unsigned tag;
    unsigned type;
    std::vector<std::uint32_t> numbers = {};
    std::string text = {};
    std::optional<std::uint32_t> pointsAt = {};
};

// The JPEG with an EXIF block put in front, its first directory holding these entries in this
// order, in Intel or Motorola byte order; of the block after "Exif\0\0", only the first `keep` bytes.
std::vector<unsigned char> withExif(std::vector<unsigned char> jpeg, const std::vector<ExifEntry> &entries,
                                    bool littleEndian = false, std::size_t keep = SIZE_MAX);

// The picture encoded by libjpeg-turbo's cjpeg with these options (-sample 2x2, -progressive,
// -arithmetic, -restart 1, -grayscale...); empty if cjpeg failed.
std::vector<unsigned char> cjpeg(const cv::Mat &picture, const QStringList &options);

// The picture as an Adobe-style CMYK JPEG, its inks derived from the colours.
std::vector<unsigned char> cmykJpeg(const cv::Mat &picture);

// The picture encoded by libjpeg with these sampling factors (horizontal x vertical), as
// cjpeg -sample writes it: one component for gray, three for YCbCr, four for CMYK inks as
// cmykJpeg derives them. Empty where libjpeg's encoder refuses the factors.
std::vector<unsigned char> sampledJpeg(const cv::Mat &picture, const std::vector<cv::Size> &factors, bool progressive = false);

// The JPEG with other sampling factors written into its frame header, one per component, as
// an encoder that writes those factors would label its file; empty if it has no such header.
std::vector<unsigned char> withFrameSampling(std::vector<unsigned char> jpeg, const std::vector<cv::Size> &factors);

// The picture (BGR, or BGRA) encoded by libheif, HEVC or AV1, with samples of `depth` bits, to be
// shown turned as the EXIF `orientation` says. A grid of 2 x 2 of one tile (of an odd size) or, the
// last, of a missing item, cropped to `size`.
QByteArray heifEncoded(const cv::Mat &picture, bool av1 = false, int depth = 8, int orientation = 1);
QByteArray heifGrid(const cv::Mat &tile, cv::Size size, bool lastTileMissing = false);
// Whether libheif here has the HEVC and AV1 encoders those are written with (the Windows build
// has decoders only).
bool heifEncodes();

// One image of a GIF: its indices, where it lies, its own colour table (red, green, blue; a power of
// two of them; none if empty), the index a graphics control extension makes transparent (if any).
struct GifImage
{
    cv::Mat indices;
    cv::Point at;
    std::vector<cv::Vec3b> colours = {};
    int transparent = -1;
    bool interlaced = false;
};

// A GIF written by giflib: its screen, its global colour table (none if empty), background index, images.
QByteArray gifEncoded(cv::Size screen, const std::vector<cv::Vec3b> &colours, int background, const std::vector<GifImage> &images);
std::vector<cv::Vec3b> gifColours(int seed); // 256 of them
cv::Mat gifIndices(cv::Size size);           // diagonal stripes of every index

// The file as the libraries' own readers show it, in 8-bit BGR, empty where they fail: cv::imread;
// for GIF, giflib's first image on its screen; for HEIF and AVIF, heif-convert's PNG.
cv::Mat libraryDecode(const QString &path);

bool writeBytes(const QString &path, const std::vector<unsigned char> &bytes);
bool writeBytes(const QString &path, const QByteArray &bytes);

// Encodes the picture by the file name's extension and writes it; false on failure.
bool writePicture(const QString &path, const cv::Mat &picture);

#endif
