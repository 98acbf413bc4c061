#include "image_decoder.h"

#include <QFile>
#include <QtGlobal>

#include <opencv2/imgcodecs.hpp>

#ifdef Q_OS_WIN
#include <QByteArray>
#include <QDir>
#include <QString>

#include <climits>
#include <cstring>
#include <vector>

#define NOMINMAX
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN

// The name in the ANSI code page, the only narrow names the decoder can open; the volume's
// short 8.3 name stands in for a long name outside that code page. Empty if neither exists.
std::string narrowName(const QString &path)
{
    const auto inAnsiCodePage = [](const QString &name) -> std::string {
        const QByteArray narrow = name.toLocal8Bit();
        return QString::fromLocal8Bit(narrow) == name ? narrow.toStdString() : std::string();
    };
    if (std::string narrow = inAnsiCodePage(path); !narrow.empty())
        return narrow;
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    const DWORD length = GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (length == 0)
        return {};
    std::vector<wchar_t> shortName(length);
    if (GetShortPathNameW(wide.c_str(), shortName.data(), length) == 0)
        return {};
    return inAnsiCodePage(QString::fromWCharArray(shortName.data()));
}

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

// The last resort for a name with neither an ANSI nor a short form: the mapped file, decoded
// from memory. A cut-short JPEG then shows black where the plain decode shows gray.
cv::Mat decodeMappedFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size <= 0 || size > INT_MAX) // the decoders take the length as an int
        return {};
    const uchar *mapped = file.map(0, size);
    if (!mapped || !decodableFromMemory(mapped, static_cast<std::size_t>(size)))
        return {};
    const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<uchar *>(mapped));
    return cv::imdecode(encoded, cv::IMREAD_COLOR);
}

#endif

// The caller has made sure the name is that of a regular file.
cv::Mat decodeFile(const QString &path)
{
#ifdef Q_OS_WIN
    const std::string narrow = narrowName(path);
    return narrow.empty() ? decodeMappedFile(path) : cv::imread(narrow, cv::IMREAD_COLOR);
#else
    // File names are bytes here, so the decoder reads the very file by name, exactly as a plain
    // decode does: a cut-short or damaged file shows the same.
    return cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
#endif
}

} // namespace

extern "C" Q_DECL_EXPORT const ImageDecoder *vireoscopeImageDecoder()
{
    static const ImageDecoder decoder = {decodeFile};
    return &decoder;
}
