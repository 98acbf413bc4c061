#include "image_file.h"
#include "image_decoder.h"
#include "jpeg_rows.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

namespace {

// Loads the decoder module once, from beside the executable (a build, or Windows) or from
// where it is installed relative to the executable.
const ImageDecoder *decoder()
{
    static const ImageDecoder *loaded = []() -> const ImageDecoder * {
        const QString executableFolder = QCoreApplication::applicationDirPath();
        const QStringList folders = {executableFolder,
                                     executableFolder + QStringLiteral("/" VIREOSCOPE_MODULE_FROM_EXECUTABLE)};
        QString errors;
        for (const QString &folder : folders) {
            QLibrary module(folder + QStringLiteral("/vireoscope_codecs"));
            if (auto entry = reinterpret_cast<ImageDecoderEntry>(module.resolve(VIREOSCOPE_IMAGE_DECODER_ENTRY)))
                return entry();
            errors += QLatin1Char('\n') + module.errorString();
        }
        qWarning("The image decoders could not be loaded:%s", qPrintable(errors));
        return nullptr;
    }();
    return loaded;
}

// A directory, a named pipe or a device could block the decoder or never end.
bool isRegularFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

} // namespace

cv::Mat decodeImageFile(const QString &path)
{
    if (!isRegularFile(path))
        return {};
    const ImageDecoder *codecs = decoder();
    return codecs ? codecs->decodeFile(path) : cv::Mat();
}

DecodedPicture decodeImageRows(const QString &path, RowsToRead rowsToRead, LoadProgress *progress)
{
    if (!isRegularFile(path))
        return {};
    if (std::optional<DecodedPicture> rows = decodeJpegRows(path, rowsToRead, progress))
        return std::move(*rows);
    // A JPEG decode stopped on request is not to be done over plainly.
    if (progress && progress->cancelled)
        return {};
    const ImageDecoder *codecs = decoder();
    return {codecs ? codecs->decodeFile(path) : cv::Mat(), {}};
}
