#include "image_file.h"
#include "gif_picture.h"
#include "heif_picture.h"
#include "jpeg_rows.h"
#include "png_rows.h"

#include <opencv2/imgcodecs.hpp>

#include <climits>
#include <cstring>
#include <vector>

namespace {

bool startsWith(const unsigned char *bytes, std::size_t size, const char *signature, std::size_t length)
{
    return size >= length && std::memcmp(bytes, signature, length) == 0;
}

// Formats whose decoders read straight from memory. The others (Sun raster, OpenEXR, Radiance
// HDR, PFM and what GDAL reads) would be copied to a temporary file first.
bool decodableFromMemory(const unsigned char *bytes, std::size_t size)
{
    const bool jpeg = startsWith(bytes, size, "\xFF\xD8\xFF", 3);
    const bool png = startsWith(bytes, size, "\x89PNG\r\n\x1A\n", 8);
    const bool bmp = startsWith(bytes, size, "BM", 2);
    const bool tiff = startsWith(bytes, size, "II*\0", 4) || startsWith(bytes, size, "MM\0*", 4)
                      || startsWith(bytes, size, "II+\0", 4) || startsWith(bytes, size, "MM\0+", 4);
    const bool webp = size >= 12 && startsWith(bytes, size, "RIFF", 4) && std::memcmp(bytes + 8, "WEBP", 4) == 0;
    const bool portable = size >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '7'; // PBM to PAM
    const bool jpeg2000 = startsWith(bytes, size, "\0\0\0\x0CjP  \r\n\x87\n", 12)
                          || startsWith(bytes, size, "\xFF\x4F\xFF\x51", 4);
    return jpeg || png || bmp || tiff || webp || portable || jpeg2000;
}

// The last resort for a name that libraries cannot take (on Windows, one with neither an ANSI
// nor a short form): the file's bytes, decoded
// from memory. A cut-short JPEG then shows black where the plain decode shows gray.
cv::Mat decodeFromMemory(const PictureFile &file)
{
    if (file.size() <= 0 || file.size() > INT_MAX) // the decoders take the length as an int
        return {};
    std::vector<unsigned char> bytes(static_cast<std::size_t>(file.size()));
    if (file.read(bytes.data(), bytes.size(), 0) != file.size() || !decodableFromMemory(bytes.data(), bytes.size()))
        return {};
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

// HEIF, AVIF and GIF files, which OpenCV may lack readers for, by their first bytes, whatever
// their names; empty for any other file. Of a HEIF picture, only the rows `rowsToRead` names
// (if given) need be in BGR.
DecodedPicture decodeOutsideOpenCv(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress)
{
    unsigned char start[64];
    const long long got = file.read(start, sizeof start, 0);
    if (got <= 0)
        return {};
    if (startsLikeHeif(start, std::size_t(got)))
        return decodeHeifRows(file, rowsToRead, progress);
    if (startsLikeGif(start, std::size_t(got)))
        return {decodeGif(file, progress), {}};
    return {};
}

DecodedPicture decodeWholeFile(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress)
{
    const std::string name = file.libraryName();
    if (name.empty()) {
        cv::Mat decoded = decodeFromMemory(file);
        return decoded.empty() ? decodeOutsideOpenCv(file, rowsToRead, progress) : DecodedPicture{decoded, {}};
    }
    // OpenCV decodes whatever it has a reader for, by a name for the very file, exactly as a
    // plain decode does: a cut-short or damaged file shows the same.
    if (!cv::haveImageReader(name))
        return decodeOutsideOpenCv(file, rowsToRead, progress);
    return {cv::imread(name, cv::IMREAD_COLOR), {}};
}

} // namespace

cv::Mat decodeImageFile(const PictureFile &file)
{
    return decodeWholeFile(file, nullptr, nullptr).pixels;
}

cv::Mat decodeImageFile(const QString &path)
{
    const std::optional<PictureFile> file = PictureFile::open(path);
    return file ? decodeImageFile(*file) : cv::Mat();
}

DecodedPicture decodeImageRows(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress, bool shrinkRows)
{
    if (std::optional<DecodedPicture> rows = decodeJpegRows(file, rowsToRead, progress))
        return std::move(*rows);
    // A decode stopped on request is not to be done over plainly.
    if (progress && progress->cancelled)
        return {};
    if (std::optional<DecodedPicture> rows = decodePngRows(file, rowsToRead, progress, shrinkRows))
        return std::move(*rows);
    if (progress && progress->cancelled)
        return {};
    return decodeWholeFile(file, rowsToRead, progress);
}

std::optional<DisplayFrames> loadDisplayFrames(const PictureFile &file, LoadProgress *progress)
{
    try {
        DecodedPicture decoded = decodeImageRows(file, rowsReadByShrink, progress, true);
        if (progress && progress->cancelled)
            return std::nullopt;
        if (!decoded.shrunk.picture.empty())
            return deriveDisplayFrames(decoded.shrunk);
        if (decoded.pixels.empty())
            return std::nullopt;
        return deriveDisplayFrames(std::move(decoded.pixels), decoded.rows);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<DisplayFrames> loadDisplayFrames(const QString &path, LoadProgress *progress)
{
    const std::optional<PictureFile> file = PictureFile::open(path);
    return file ? loadDisplayFrames(*file, progress) : std::nullopt;
}
