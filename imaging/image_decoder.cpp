#include "image_decoder.h"

#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <opencv2/imgcodecs.hpp>

#include <climits>
#include <cstring>

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

cv::Mat decodeBytes(const unsigned char *bytes, std::size_t size)
{
    // The decoders take the length as an int.
    if (!bytes || size == 0 || size > static_cast<std::size_t>(INT_MAX) || !decodableFromMemory(bytes, size))
        return {};
    const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char *>(bytes));
    return cv::imdecode(encoded, cv::IMREAD_COLOR);
}

cv::Mat decodeFile(const QString &path)
{
    // A directory, a named pipe or a device could block the decoder or never end.
    if (!QFileInfo(path).isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};

    // Mapped, not read: a huge file that is no picture costs only what the decoder looks at.
    const qint64 size = file.size();
    if (size <= 0)
        return {};
    if (size <= INT_MAX) {
        if (const uchar *mapped = file.map(0, size)) {
            const auto *bytes = static_cast<const unsigned char *>(mapped);
            if (decodableFromMemory(bytes, static_cast<std::size_t>(size)))
                return decodeBytes(bytes, static_cast<std::size_t>(size));
        }
    }

    // The decoders that only read files, and files too large to pass in memory, get the
    // name in the file system's own encoding.
    const QByteArray encodedName = QFile::encodeName(path);
    if (QFile::decodeName(encodedName) != path)
        return {};
    return cv::imread(encodedName.toStdString(), cv::IMREAD_COLOR);
}

} // namespace

extern "C" Q_DECL_EXPORT const ImageDecoder *vireoscopeImageDecoder()
{
    static const ImageDecoder decoder = {decodeFile, decodeBytes};
    return &decoder;
}
