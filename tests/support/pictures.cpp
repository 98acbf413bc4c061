#include "pictures.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include <gif_lib.h>
#include <jpeglib.h>
#include <libheif/heif.h>

cv::Mat photographLike(int width, int height, unsigned seed)
{
    cv::RNG random(seed);
    cv::Mat coarse(6, 8, CV_8UC3);
    random.fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::Mat picture;
    cv::resize(coarse, picture, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(picture.size(), CV_8UC3);
    random.fill(noise, cv::RNG::UNIFORM, 0, 24);
    picture += noise;
    const int thickness = std::max(1, std::min(width, height) / 40);
    cv::rectangle(picture, cv::Point(width / 5, height / 4), cv::Point(width / 2, height * 3 / 4),
                  cv::Scalar(250, 250, 250), thickness);
    cv::line(picture, cv::Point(0, height - 1), cv::Point(width - 1, 0), cv::Scalar(10, 40, 200), thickness);
    return picture;
}

cv::Mat landscape(int width, int height)
{
    cv::Mat picture(height, width, CV_8UC3);
    // Sky: deep blue at the top to pale near the horizon (BGR).
    for (int row = 0; row < height; ++row) {
        const double t = double(row) / height;
        picture.row(row).setTo(cv::Scalar(235 - 40 * (1 - t), 200 - 60 * (1 - t) + 30 * t, 120 + 110 * t));
    }
    const auto at = [&](double x, double y) { return cv::Point(int(x * width), int(y * height)); };
    const int unit = std::max(1, std::min(width, height) / 100);
    cv::circle(picture, at(0.78, 0.22), 9 * unit, cv::Scalar(90, 220, 255), cv::FILLED, cv::LINE_AA);
    const std::vector<cv::Point> farHills = {at(0, 0.62), at(0.18, 0.45), at(0.36, 0.58), at(0.55, 0.40),
                                             at(0.78, 0.57), at(1, 0.47), at(1, 1), at(0, 1)};
    cv::fillPoly(picture, std::vector<std::vector<cv::Point>>{farHills}, cv::Scalar(120, 140, 90), cv::LINE_AA);
    const std::vector<cv::Point> nearHills = {at(0, 0.78), at(0.3, 0.66), at(0.62, 0.76), at(1, 0.64),
                                              at(1, 1), at(0, 1)};
    cv::fillPoly(picture, std::vector<std::vector<cv::Point>>{nearHills}, cv::Scalar(60, 150, 70), cv::LINE_AA);
    // A house with a red roof, a door and a window.
    cv::rectangle(picture, at(0.22, 0.62), at(0.36, 0.8), cv::Scalar(200, 225, 240), cv::FILLED);
    const std::vector<cv::Point> roof = {at(0.2, 0.62), at(0.29, 0.5), at(0.38, 0.62)};
    cv::fillPoly(picture, std::vector<std::vector<cv::Point>>{roof}, cv::Scalar(40, 40, 190), cv::LINE_AA);
    cv::rectangle(picture, at(0.27, 0.7), at(0.31, 0.8), cv::Scalar(40, 70, 110), cv::FILLED);
    cv::rectangle(picture, at(0.235, 0.655), at(0.26, 0.69), cv::Scalar(230, 200, 150), cv::FILLED);
    // A little texture, as a camera would give.
    cv::Mat noise(picture.size(), CV_8UC3);
    cv::RNG(99).fill(noise, cv::RNG::UNIFORM, 0, 6);
    picture += noise;
    return picture;
}

std::vector<unsigned char> jpegWithOrientation(const cv::Mat &picture, int orientation)
{
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
    return withExif(std::move(jpeg), {{0x0112, 3, {std::uint32_t(orientation)}}});
}

std::vector<unsigned char> withExif(std::vector<unsigned char> jpeg, const std::vector<ExifEntry> &entries,
                                    bool littleEndian, std::size_t keep)
{
    const auto put16 = [littleEndian](std::vector<unsigned char> &to, unsigned value) {
        const unsigned char high = static_cast<unsigned char>(value >> 8), low = static_cast<unsigned char>(value & 0xFF);
        to.push_back(littleEndian ? low : high);
        to.push_back(littleEndian ? high : low);
    };
    const auto put32 = [&](std::vector<unsigned char> &to, std::uint32_t value) {
        put16(to, littleEndian ? value & 0xFFFF : value >> 16);
        put16(to, littleEndian ? value >> 16 : value & 0xFFFF);
    };
    // A TIFF header, IFD0 at 8: its 12-byte entries, no next IFD, then the values that did not fit.
    const unsigned char order = littleEndian ? 'I' : 'M';
    std::vector<unsigned char> tiff = {order, order};
    put16(tiff, 0x2A);
    put32(tiff, 8);
    put16(tiff, unsigned(entries.size()));
    std::vector<unsigned char> apart;
    const std::uint32_t apartAt = std::uint32_t(8 + 2 + 12 * entries.size() + 4);
    for (const ExifEntry &entry : entries) {
        std::vector<unsigned char> value;
        std::uint32_t count;
        if (entry.type == 2) {
            value.assign(entry.text.begin(), entry.text.end());
            value.push_back(0);
            count = std::uint32_t(value.size());
        } else {
            for (const std::uint32_t number : entry.numbers)
                entry.type == 3 ? put16(value, number) : put32(value, number);
            count = std::uint32_t(entry.numbers.size() / (entry.type == 5 ? 2 : 1));
        }
        put16(tiff, entry.tag);
        put16(tiff, entry.type);
        put32(tiff, count);
        if (value.size() <= 4 && !entry.pointsAt) {
            value.resize(4);
            tiff.insert(tiff.end(), value.begin(), value.end());
            continue;
        }
        put32(tiff, entry.pointsAt ? *entry.pointsAt : std::uint32_t(apartAt + apart.size()));
        if (!entry.pointsAt)
            apart.insert(apart.end(), value.begin(), value.end());
    }
    put32(tiff, 0); // no next IFD
    tiff.insert(tiff.end(), apart.begin(), apart.end());
    tiff.resize(std::min(tiff.size(), keep));

    std::vector<unsigned char> app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    app1[2] = static_cast<unsigned char>((app1.size() - 2) >> 8);
    app1[3] = static_cast<unsigned char>((app1.size() - 2) & 0xFF);
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    return jpeg;
}

std::vector<unsigned char> cjpeg(const cv::Mat &picture, const QStringList &options)
{
    std::vector<unsigned char> ppm;
    if (!cv::imencode(".ppm", picture, ppm))
        return {};
    QProcess encoder;
    encoder.start(QStringLiteral("cjpeg"), options);
    encoder.write(reinterpret_cast<const char *>(ppm.data()), qint64(ppm.size()));
    encoder.closeWriteChannel();
    if (!encoder.waitForFinished(60000) || encoder.exitStatus() != QProcess::NormalExit || encoder.exitCode() != 0)
        return {};
    const QByteArray jpeg = encoder.readAllStandardOutput();
    return std::vector<unsigned char>(jpeg.begin(), jpeg.end());
}

namespace {

struct EncoderErrors
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jumpOnEncoderError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<EncoderErrors *>(info->err)->jump, 1);
}

} // namespace

std::vector<unsigned char> sampledJpeg(const cv::Mat &picture, const std::vector<cv::Size> &factors, bool progressive)
{
    const int components = int(factors.size());
    if (components != 1 && components != 3 && components != 4)
        return {};
    // The samples libjpeg takes: gray, RGB, or inks derived from the colours.
    cv::Mat samples(picture.size(), CV_8UC(components));
    if (components == 1)
        cv::cvtColor(picture, samples, cv::COLOR_BGR2GRAY);
    else if (components == 3)
        cv::cvtColor(picture, samples, cv::COLOR_BGR2RGB);
    for (int y = 0; components == 4 && y < picture.rows; ++y) {
        const unsigned char *bgr = picture.ptr(y);
        unsigned char *inks = samples.ptr(y);
        for (int x = 0; x < picture.cols; ++x) {
            const int key = 255 - std::max({bgr[3 * x], bgr[3 * x + 1], bgr[3 * x + 2]});
            for (int ink = 0; ink < 3; ++ink)
                inks[4 * x + ink] = static_cast<unsigned char>(255 - bgr[3 * x + 2 - ink] - key / 2);
            inks[4 * x + 3] = static_cast<unsigned char>(key);
        }
    }

    jpeg_compress_struct info;
    EncoderErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpOnEncoderError;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_create_compress(&info);
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return {};
    }
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(picture.cols);
    info.image_height = JDIMENSION(picture.rows);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info); // CMYK gets an Adobe marker
    jpeg_set_quality(&info, 90, TRUE);
    for (int i = 0; i < components; ++i) {
        info.comp_info[i].h_samp_factor = factors[std::size_t(i)].width;
        info.comp_info[i].v_samp_factor = factors[std::size_t(i)].height;
    }
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < picture.rows; ++y) {
        JSAMPROW rows[] = {samples.ptr(y)};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<unsigned char> jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

std::vector<unsigned char> cmykJpeg(const cv::Mat &picture)
{
    return sampledJpeg(picture, std::vector<cv::Size>(4, cv::Size(1, 1)));
}

std::vector<unsigned char> withFrameSampling(std::vector<unsigned char> jpeg, const std::vector<cv::Size> &factors)
{
    // Segments from the start of the file up to the frame header (SOF0 to SOF2).
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;) {
        const int marker = jpeg[at + 1];
        const std::size_t length = std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (marker >= 0xC0 && marker <= 0xC2) {
            const std::size_t count = jpeg[at + 9];
            if (count != factors.size() || at + 10 + 3 * count > jpeg.size())
                return {};
            for (std::size_t i = 0; i < count; ++i)
                jpeg[at + 11 + 3 * i] = static_cast<unsigned char>(factors[i].width << 4 | factors[i].height);
            return jpeg;
        }
        at += 2 + length;
    }
    return {};
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool writeBytes(const QString &path, const std::vector<unsigned char> &bytes)
{
    return writeBytes(path, QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())));
}

bool writePicture(const QString &path, const cv::Mat &picture)
{
    const QString extension = QLatin1Char('.') + path.section(QLatin1Char('.'), -1);
    std::vector<unsigned char> bytes;
    return cv::imencode(extension.toStdString(), picture, bytes) && writeBytes(path, bytes);
}

bool heifEncodes()
{
    return heif_have_encoder_for_format(heif_compression_HEVC) && heif_have_encoder_for_format(heif_compression_AV1);
}

QByteArray heifEncoded(const cv::Mat &picture, bool av1, int depth, int orientation)
{
    const bool alpha = picture.channels() == 4;
    cv::Mat rgb;
    cv::cvtColor(picture, rgb, alpha ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGB);
    rgb.convertTo(rgb, depth > 8 ? CV_16U : CV_8U, double((1 << depth) - 1) / 255);
    heif_image *image = nullptr;
    heif_image_create(rgb.cols, rgb.rows, heif_colorspace_RGB, depth > 8 ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                      : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB), &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb.cols, rgb.rows, depth);
    int stride = 0;
    std::uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.rows; ++y)
        std::memcpy(plane + std::ptrdiff_t(y) * stride, rgb.ptr(y), rgb.cols * rgb.elemSize());
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder);
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation(orientation);
    QByteArray bytes;
    heif_writer writer = {1, [](heif_context *, const void *data, size_t size, void *user) {
        static_cast<QByteArray *>(user)->append(static_cast<const char *>(data), qsizetype(size));
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
    }};
    if (heif_context_encode_image(context, image, encoder, options, nullptr).code == heif_error_Ok)
        heif_context_write(context, &writer, &bytes);
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_image_release(image);
    heif_context_free(context);
    return bytes;
}

QByteArray heifGrid(const cv::Mat &tile, cv::Size size, bool lastTileMissing)
{
    // libheif's encoder crops an odd-sized picture from a grid of one tile: that grid made 2 x 2 of
    // the same tile (or, last, of an item that does not exist), cropped to `size`.
    QByteArray heif = heifEncoded(tile);
    if (heif.isEmpty()) // no encoder here
        return heif;
    const auto put = [&heif](qsizetype at, quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            heif[at + i] = char(value >> (8 * (bytes - 1 - i)));
    };
    const auto grow = [&](qsizetype at) { // a size or an offset, by the six bytes of three more references
        put(at, (quint32(uchar(heif[at])) << 24 | uchar(heif[at + 1]) << 16 | uchar(heif[at + 2]) << 8 | uchar(heif[at + 3])) + 6, 4);
    };
    const qsizetype references = heif.indexOf("dimg") - 4, tileId = references + 12;
    heif.insert(references + 14, heif.mid(tileId, 2).repeated(2) + (lastTileMissing ? QByteArray("\0\x7f", 2) : heif.mid(tileId, 2)));
    put(references + 10, 4, 2);
    for (const qsizetype at : {references, heif.indexOf("iref") - 4, heif.indexOf("meta") - 4, heif.indexOf("iloc") + 18})
        grow(at); // the last, where the tile's data start, after the meta box
    const qsizetype grid = heif.indexOf("idat") + 4, gridSize = heif.lastIndexOf("ispe") + 8;
    put(grid + 2, 0x0101, 2);
    put(grid + 4, quint32(size.width) << 16 | quint32(size.height), 4);
    put(gridSize, quint32(size.width), 4);
    put(gridSize + 4, quint32(size.height), 4);
    return heif;
}

std::vector<cv::Vec3b> gifColours(int seed)
{
    std::vector<cv::Vec3b> colours(256);
    for (int i = 0; i < 256; ++i)
        colours[std::size_t(i)] = {uchar(i * seed), uchar(255 - i), uchar(i * 37)};
    return colours;
}

cv::Mat gifIndices(cv::Size size)
{
    cv::Mat indices(size, CV_8U);
    indices.forEach<uchar>([](uchar &index, const int *at) { index = uchar(at[1] * 7 + at[0] * 3); });
    return indices;
}

QByteArray gifEncoded(cv::Size screen, const std::vector<cv::Vec3b> &colours, int background, const std::vector<GifImage> &images)
{
    QByteArray bytes;
    GifFileType *gif = EGifOpen(&bytes, [](GifFileType *gif, const GifByteType *data, int size) {
        static_cast<QByteArray *>(gif->UserData)->append(reinterpret_cast<const char *>(data), size);
        return size;
    }, nullptr);
    const auto map = [](const std::vector<cv::Vec3b> &colours) {
        return colours.empty() ? nullptr : GifMakeMapObject(int(colours.size()), reinterpret_cast<const GifColorType *>(colours.data()));
    };
    ColorMapObject *global = map(colours);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, screen.width, screen.height, 8, background, global);
    for (const GifImage &image : images) {
        GraphicsControlBlock control = {DISPOSAL_UNSPECIFIED, false, 10, image.transparent};
        GifByteType extension[4];
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(EGifGCBToExtension(&control, extension)), extension);
        ColorMapObject *local = map(image.colours);
        EGifPutImageDesc(gif, image.at.x, image.at.y, image.indices.cols, image.indices.rows, image.interlaced, local);
        for (const auto &[first, step] : image.interlaced ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8}, {2, 4}, {1, 2}}
                                                         : std::vector<std::pair<int, int>>{{0, 1}})
            for (int row = first; row < image.indices.rows; row += step)
                EGifPutLine(gif, const_cast<GifPixelType *>(image.indices.ptr(row)), image.indices.cols);
        GifFreeMapObject(local);
        // giflib 5.2 keeps its copy of an image's local map and, of all of them, frees only the last.
        GifFreeMapObject(std::exchange(gif->Image.ColorMap, nullptr));
    }
    EGifCloseFile(gif, nullptr);
    GifFreeMapObject(global);
    return bytes;
}

cv::Mat libraryDecode(const QString &path)
{
    // The library opens narrow names only (Windows: the ANSI code page); a name they cannot
    // hold is read under a plain copy.
    std::optional<QTemporaryDir> plainFolder;
    QString readable = path;
    if (QFile::decodeName(QFile::encodeName(path)) != path) {
        readable = plainFolder.emplace().filePath(QStringLiteral("copy.") + QFileInfo(path).suffix());
        QFile::copy(path, readable);
    }
    try {
        if (cv::Mat plain = cv::imread(QFile::encodeName(readable).toStdString(), cv::IMREAD_COLOR); !plain.empty())
            return plain;
    } catch (const cv::Exception &) {
    }
    // giflib is given the block terminator and trailer that a GIF may end without after its image.
    QTemporaryDir folder;
    QFile completed(folder.filePath(QStringLiteral("completed.gif")));
    if (!QFile::copy(path, completed.fileName()) || !completed.open(QIODevice::Append) || completed.write("\0;", 2) != 2 || !completed.flush())
        return {};
    if (GifFileType *gif = DGifOpenFileName(QFile::encodeName(completed.fileName()).constData(), nullptr)) {
        cv::Mat screen;
        const auto bgr = [](const ColorMapObject *map, int index) {
            return map && index < map->ColorCount ? cv::Vec3b(map->Colors[index].Blue, map->Colors[index].Green, map->Colors[index].Red) : cv::Vec3b();
        };
        GraphicsControlBlock control = {0, false, 0, NO_TRANSPARENT_COLOR};
        if (DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0) {
            // A graphics control is the next graphic rendering block's (GIF89a): the image's, or a plain text's.
            for (int i = 0; i < gif->SavedImages[0].ExtensionBlockCount; ++i)
                if (const ExtensionBlock &block = gif->SavedImages[0].ExtensionBlocks[i]; block.Function == GRAPHICS_EXT_FUNC_CODE)
                    DGifExtensionToGCB(block.ByteCount, block.Bytes, &control);
                else if (block.Function == PLAINTEXT_EXT_FUNC_CODE)
                    control.TransparentColor = NO_TRANSPARENT_COLOR;
            screen = cv::Mat(gif->SHeight, gif->SWidth, CV_8UC3, bgr(gif->SColorMap, gif->SBackGroundColor));
            const GifImageDesc &image = gif->SavedImages[0].ImageDesc;
            for (int y = 0; y < image.Height; ++y)
                for (int x = 0; x < image.Width; ++x) {
                    const int index = gif->SavedImages[0].RasterBits[y * image.Width + x];
                    if (index != control.TransparentColor && image.Left + x < screen.cols && image.Top + y < screen.rows)
                        screen.at<cv::Vec3b>(image.Top + y, image.Left + x) = bgr(image.ColorMap ? image.ColorMap : gif->SColorMap, index);
                }
        }
        DGifCloseFile(gif, nullptr);
        return screen;
    }
    // heif-convert refuses what is no HEIF or AVIF file.
    const QString converted = folder.filePath(QStringLiteral("converted.png"));
    if (QProcess::execute(QStringLiteral("heif-convert"), {QStringLiteral("--quiet"), path, converted}) != 0)
        return {};
    return cv::imread(converted.toStdString(), cv::IMREAD_COLOR);
}
