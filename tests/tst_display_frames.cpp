// From a file's bytes to the six display frames, without a window: identical pixels to the
// plain sequence of library calls, for any picture, and no trouble from any file name or kind.
#include <QDir>
#include <QMimeDatabase>
#include <QtEndian>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "display_frames.h"
#include "image_file.h"
#include "jpeg_rows.h"
#include "literal_pipeline.h"
#include "load_progress.h"
#include "picture_types.h"
#include "pictures.h"
#include "platform_files.h"
#include "png_rows.h"
#include "row_shrink.h"
#include "weighted_gray.h"

#include <zlib.h>

Q_DECLARE_METATYPE(cv::Mat)
Q_DECLARE_METATYPE(cv::Size)

namespace {

QString compareFrames(const DisplayFrames &actual, const DisplayFrames &expected)
{
    const struct { const char *name; const cv::Mat &a; const cv::Mat &b; } pairs[] = {
        {"rgb", actual.rgb, expected.rgb},       {"gray", actual.gray, expected.gray},
        {"gauss", actual.gauss, expected.gauss}, {"sobel", actual.sobel, expected.sobel},
        {"laplace", actual.laplace, expected.laplace}, {"average", actual.average, expected.average},
    };
    for (const auto &pair : pairs) {
        if (pair.a.size() != cv::Size(256, 192) || pair.a.type() != pair.b.type() || pair.a.size() != pair.b.size())
            return QStringLiteral("%1: wrong size or type").arg(pair.name);
        if (cv::norm(pair.a, pair.b, cv::NORM_INF) != 0)
            return QStringLiteral("%1: pixels differ").arg(pair.name);
    }
    return {};
}

QByteArray pngChunk(const char *name, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk += QByteArray(name, 4) + data + QByteArray(4, '\0');
    qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef *>(chunk.constData() + 4), uInt(chunk.size() - 8))),
                 chunk.data() + chunk.size() - 4);
    return chunk;
}

// A PNG of random rows, each with a random filter, for what the library's encoder never writes:
// every colour type and depth, transparency, a palette smaller than the indices, the picture data
// in `pieces` chunks with empty ones between them, and `zlibEdit` applied to the stream.
QByteArray generatedPng(int colorType, int depth, cv::Size size, bool transparency, unsigned seed, int pieces = 1,
                        void (*zlibEdit)(QByteArray &) = nullptr)
{
    cv::RNG random(seed);
    const int channels = colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1;
    const int rowBytes = (size.width * channels * depth + 7) / 8, step = std::max(1, channels * depth / 8);
    QByteArray filtered, above(rowBytes, '\0'), row(rowBytes, '\0');
    for (int y = 0; y < size.height; ++y, above = row) {
        const int filter = random.uniform(0, 5);
        filtered += char(filter);
        for (int i = 0; i < rowBytes; ++i) {
            row[i] = char(random.uniform(0, 256));
            const int a = i >= step ? uchar(row[i - step]) : 0, b = uchar(above[i]), c = i >= step ? uchar(above[i - step]) : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predicted[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
            filtered += char(uchar(row[i]) - predicted[filter]);
        }
    }
    QByteArray stream(int(compressBound(uLong(filtered.size()))), '\0');
    uLongf length = uLongf(stream.size());
    compress(reinterpret_cast<Bytef *>(stream.data()), &length, reinterpret_cast<const Bytef *>(filtered.constData()), uLong(filtered.size()));
    stream.resize(int(length));
    if (zlibEdit)
        zlibEdit(stream);
    QByteArray header(13, '\0'), colours, transparent;
    qToBigEndian(quint32(size.width), header.data());
    qToBigEndian(quint32(size.height), header.data() + 4);
    header[8] = char(depth);
    header[9] = char(colorType);
    for (int i = 0; i < 3 * std::max(1, (1 << depth) - 3); ++i) // three indices past the palette
        colours += char(random.uniform(0, 256));
    for (int i = 0; i < (colorType == 3 ? 2 : colorType == 2 ? 6 : 2); ++i)
        transparent += char(colorType == 3 ? random.uniform(0, 256) : 0);
    QByteArray png = QByteArray("\x89PNG\r\n\x1A\n", 8) + pngChunk("IHDR", header) + pngChunk("tEXt", QByteArray("Comment\0made here", 17))
                     + pngChunk("gAMA", QByteArray("\0\0\x4E\x20", 4)); // gamma 0.2: still the plain decode's pixels
    if (colorType == 3)
        png += pngChunk("PLTE", colours);
    if (transparency)
        png += pngChunk("tRNS", transparent);
    const int piece = int(stream.size() + pieces - 1) / pieces;
    for (int at = 0; at < stream.size(); at += piece)
        png += (at > 0 ? pngChunk("IDAT", {}) : QByteArray()) + pngChunk("IDAT", stream.mid(at, piece));
    return png + pngChunk("IEND", {});
}

} // namespace

class TestDisplayFrames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matchesTheLiteralSequence_data();
    void matchesTheLiteralSequence();
    void decodesAsTheLibraryReadsFiles_data();
    void decodesAsTheLibraryReadsFiles();
    void desktopFilesDeclareTheDecodedTypes();
    void jpegsMatchThePlainDecode_data();
    void jpegsMatchThePlainDecode();
    void shrinkReadsOnlyItsRows_data();
    void shrinkReadsOnlyItsRows();
    void anyFileNameOpens_data();
    void anyFileNameOpens();
    void refusesWhatIsNotARegularFile();
    void hugeFilesThatAreNoPictureFailAtOnce_data();
    void hugeFilesThatAreNoPictureFailAtOnce();
    void writesNoTemporaryFile();
    void reblurFollowsTheKernelSize();

private:
    QTemporaryDir folder;
    QString path(const QString &name) const { return folder.filePath(name); }
};

void TestDisplayFrames::initTestCase()
{
    QVERIFY(folder.isValid());
}

void TestDisplayFrames::matchesTheLiteralSequence_data()
{
    QTest::addColumn<cv::Mat>("picture");
    QTest::newRow("photograph 640x480") << photographLike(640, 480);
    QTest::newRow("display size") << photographLike(256, 192, 2);
    QTest::newRow("odd size 257x193") << photographLike(257, 193, 3);
    QTest::newRow("1x1") << cv::Mat(1, 1, CV_8UC3, cv::Scalar(30, 140, 250));
    QTest::newRow("1x7") << photographLike(1, 7, 4);
    QTest::newRow("9x1") << photographLike(9, 1, 5);
    QTest::newRow("very wide 3001x5") << photographLike(3001, 5, 6);
    QTest::newRow("very tall 3x2000") << photographLike(3, 2000, 7);
    QTest::newRow("large 2500x1700") << photographLike(2500, 1700, 8);
    cv::Mat neutral;
    cv::cvtColor(photographLike(300, 200, 9), neutral, cv::COLOR_BGR2GRAY);
    cv::cvtColor(neutral, neutral, cv::COLOR_GRAY2BGR);
    QTest::newRow("neutral grays") << neutral;
    QTest::newRow("uniform") << cv::Mat(300, 400, CV_8UC3, cv::Scalar(90, 90, 90));
}

void TestDisplayFrames::matchesTheLiteralSequence()
{
    QFETCH(cv::Mat, picture);
    const DisplayFrames expected = literalDisplayFrames(picture);
    const DisplayFrames actual = deriveDisplayFrames(picture.clone());
    const QString difference = compareFrames(actual, expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestDisplayFrames::decodesAsTheLibraryReadsFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    const cv::Mat photo = photographLike(320, 240, 11);
    const auto encoded = [&](const std::string &extension, const cv::Mat &picture, std::vector<int> parameters = {}) {
        std::vector<unsigned char> bytes;
        cv::imencode(extension, picture, bytes, parameters);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
    };
    const std::vector<cv::Vec3b> palette = gifColours(1);
    cv::Mat gray, sixteenBit, withAlpha;
    cv::cvtColor(photo, gray, cv::COLOR_BGR2GRAY);
    photo.convertTo(sixteenBit, CV_16UC3, 257.0);
    cv::cvtColor(photo, withAlpha, cv::COLOR_BGR2BGRA);

    QTest::newRow("jpeg") << "a.jpg" << encoded(".jpg", photo, {cv::IMWRITE_JPEG_QUALITY, 90});
    QTest::newRow("png") << "a.png" << encoded(".png", photo);
    QTest::newRow("gray png") << "gray.png" << encoded(".png", gray);
    QTest::newRow("16-bit png") << "deep.png" << encoded(".png", sixteenBit);
    QTest::newRow("png with alpha") << "alpha.png" << encoded(".png", withAlpha);
    QTest::newRow("bmp") << "a.bmp" << encoded(".bmp", photo);
    QTest::newRow("tiff") << "a.tiff" << encoded(".tiff", photo);
    QTest::newRow("webp") << "a.webp" << encoded(".webp", photo);
    QTest::newRow("ppm") << "a.ppm" << encoded(".ppm", photo);
    QTest::newRow("jpeg 2000") << "a.jp2" << encoded(".jp2", photo);
    QTest::newRow("sun raster") << "a.ras" << encoded(".ras", photo);
    cv::Mat radiance;
    photo.convertTo(radiance, CV_32FC3, 1 / 255.0);
    QTest::newRow("radiance hdr") << "a.hdr" << encoded(".hdr", radiance);
    // A sample of every kind of file the program declares it opens, made by the library's own
    // encoder (a JPEG 2000 codestream is the one inside the encoder's JP2 box).
    cv::Mat floating;
    photo.convertTo(floating, CV_32FC3, 1 / 255.0);
    for (const PictureType &type : pictureTypes) {
        const QByteArray extension(type.extension);
        const bool codestream = extension == "j2k" || extension == "j2c" || extension == "jpc";
        QByteArray bytes;
        if (extension == "pbm") // one bit a pixel
            bytes = encoded(".pbm", gray > 127);
        else if (extension == "pgm")
            bytes = encoded(".pgm", gray);
        else if (extension == "exr" || extension == "pfm" || extension == "hdr")
            bytes = encoded(("." + extension).toStdString(), floating);
        else if (extension == "sun")
            bytes = encoded(".ras", photo);
        else if (extension == "jpg2" || codestream)
            bytes = encoded(".jp2", photo);
        else if (extension == "heic" || extension == "heif" || extension == "avif")
            bytes = heifEncoded(photo, extension == "avif");
        else if (extension == "gif")
            bytes = gifEncoded(photo.size(), palette, 3, {{gifIndices(photo.size()), {0, 0}}});
        else
            bytes = encoded(("." + extension).toStdString(), photo);
        if (codestream)
            bytes = bytes.mid(bytes.indexOf("jp2c") + 4);
        QTest::newRow(qPrintable(QStringLiteral("*.%1 %2").arg(type.extension, type.mimeType).trimmed()))
            << QStringLiteral("sample.%1").arg(type.extension) << bytes;
    }
    // Compared with libheif's own converter: an odd size (which libheif's encoder crops from a grid of
    // one tile), 10 bits, alpha, a turn (irot), a grid of tiles.
    QTest::newRow("heic 257x193") << "odd.heic" << heifEncoded(photographLike(257, 193, 24));
    QTest::newRow("heic 10-bit") << "deep.heic" << heifEncoded(photo, false, 10);
    QTest::newRow("heic with alpha") << "alpha.heic" << heifEncoded(withAlpha);
    QTest::newRow("heic turned 90 degrees") << "turned.heic" << heifEncoded(photo, false, 8, 6);
    QTest::newRow("heic grid of 2 x 2 tiles") << "grid.heic" << heifGrid(photographLike(511, 383, 25), {1000, 700});
    QTest::newRow("avif with alpha, no extension") << "avif picture" << heifEncoded(withAlpha, true);
    QByteArray wider = heifEncoded(photographLike(257, 193, 26)); // its handle 300 wide, by the size its grid's ispe states
    if (!wider.isEmpty())
        wider.replace(wider.lastIndexOf("ispe") + 8, 4, QByteArray("\0\0\1\x2C", 4));
    QTest::newRow("heic grid narrower than it states") << "wider.heic" << wider;
    // Compared with the first image giflib reads, on its screen: a smaller image away from the corner,
    // interlaced, with a transparent index, a local table shorter than its indices, then a second frame.
    const GifImage first{gifIndices({150, 100}), {40, 30}, std::vector<cv::Vec3b>(palette.begin(), palette.begin() + 64), 7, true};
    QTest::newRow("animated gif") << "animated.gif" << gifEncoded(photo.size(), palette, 200, {first, {gifIndices(photo.size()), {0, 0}}});
    QTest::newRow("gif reaching past its screen, no extension") << "gif picture" << gifEncoded({64, 48}, palette, 9, {{gifIndices({50, 40}), {30, 20}}});
    QTest::newRow("gif ending without its last block terminator") << "unended.gif" << gifEncoded(photo.size(), palette, 3, {{gifIndices(photo.size()), {0, 0}}}).chopped(2);
    QByteArray text = gifEncoded(photo.size(), palette, 200, {{gifIndices(photo.size()), {0, 0}, {}, 7}});
    text.insert(text.indexOf("!\xF9\x04") + 8, QByteArray("!\x01\x0C" "\0\0\0\0\x10\0\x08\0\x08\x08\x01\x02" "\x02hi\0", 19)); // "hi" in a plain text extension
    QTest::newRow("gif, a plain text extension after its graphics control") << "text.gif" << text;
    for (const int orientation : {2, 3, 6, 8}) {
        const auto jpeg = jpegWithOrientation(photographLike(300, 200, 12), orientation);
        QTest::newRow(qPrintable(QStringLiteral("jpeg, EXIF orientation %1").arg(orientation)))
            << QStringLiteral("turned%1.jpg").arg(orientation)
            << QByteArray(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size()));
    }
}

void TestDisplayFrames::decodesAsTheLibraryReadsFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    if (bytes.isEmpty() && !heifEncodes())
        QSKIP("libheif here has no encoder to write this picture with");
    QVERIFY(!bytes.isEmpty());
    QVERIFY(writeBytes(path(name), bytes));

    const cv::Mat expected = libraryDecode(path(name));
    QVERIFY(!expected.empty());
    QCOMPARE(expected.type(), CV_8UC3);
    // A desktop hands the file over under the MIME type the program declares for its name.
    const QString extension = QFileInfo(name).suffix();
    for (const PictureType &type : pictureTypes)
        if (extension == QLatin1String(type.extension) && *type.mimeType)
            QCOMPARE(QMimeDatabase().mimeTypeForFile(path(name)).name(), QLatin1String(type.mimeType));
    const cv::Mat decoded = decodeImageFile(path(name));
    QCOMPARE(decoded.size(), expected.size());
    QCOMPARE(cv::norm(decoded, expected, cv::NORM_INF), 0.0);

    const std::optional<DisplayFrames> frames = loadDisplayFrames(path(name));
    QVERIFY(frames);
    QCOMPARE(frames->pictureSize, expected.size());
    const QString difference = compareFrames(*frames, literalDisplayFrames(expected));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestDisplayFrames::desktopFilesDeclareTheDecodedTypes()
{
    // The desktop entry and the AppStream metadata declare what the table above has samples of.
    const QString id = QStringLiteral(VIREOSCOPE_SOURCE_DIR "/app/invalid.vireoscope.vireoscope");
    QFile entry(id + QStringLiteral(".desktop")), metadata(id + QStringLiteral(".metainfo.xml"));
    QVERIFY(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    QVERIFY(metadata.open(QIODevice::ReadOnly | QIODevice::Text));
    const QRegularExpression mimeTypeLine(QStringLiteral("^MimeType=(.*);$"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch line = mimeTypeLine.match(QString::fromUtf8(entry.readAll()));
    QVERIFY(line.hasMatch());
    QCOMPARE(line.captured(1).split(QLatin1Char(';')), pictureMimeTypes());
    QStringList provided;
    QRegularExpressionMatchIterator mediaTypes =
        QRegularExpression(QStringLiteral("<mediatype>([^<]*)</mediatype>")).globalMatch(QString::fromUtf8(metadata.readAll()));
    while (mediaTypes.hasNext())
        provided << mediaTypes.next().captured(1);
    QCOMPARE(provided, pictureMimeTypes());
}

void TestDisplayFrames::jpegsMatchThePlainDecode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("bands");     // the most bands to decode in
    QTest::addColumn<int>("banded");    // whether it must be decoded in bands (1) or must not (0); -1 either
    QTest::addColumn<bool>("readable"); // whether libjpeg reads it at all
    const auto add = [](const QString &name, const std::vector<unsigned char> &jpeg, int bands = coresForBands(),
                        int banded = -1, bool readable = true) {
        QTest::newRow(qPrintable(name)) << QByteArray(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size()))
                                        << bands << banded << readable;
    };
    const cv::Mat photo = photographLike(1024, 768, 16);
    for (const char *sampling : {"1x1", "2x1", "2x2", "1x2", "4x1"})
        add(QStringLiteral("sampling %1").arg(sampling), cjpeg(photo, {QStringLiteral("-sample"), QString::fromLatin1(sampling)}));
    add(QStringLiteral("progressive"), cjpeg(photo, {QStringLiteral("-progressive")}));
    add(QStringLiteral("arithmetic coding"), cjpeg(photo, {QStringLiteral("-arithmetic")}));
    add(QStringLiteral("progressive, arithmetic coding"), cjpeg(photo, {QStringLiteral("-progressive"), QStringLiteral("-arithmetic")}));
    add(QStringLiteral("restart markers"), cjpeg(photo, {QStringLiteral("-restart"), QStringLiteral("1")}));
    add(QStringLiteral("gray"), cjpeg(photo, {QStringLiteral("-grayscale")}));
    add(QStringLiteral("CMYK"), cmykJpeg(photo));

    const std::vector<unsigned char> turnable = cjpeg(photographLike(1000, 700, 17), {});
    for (int orientation = 1; orientation <= 8; ++orientation)
        add(QStringLiteral("EXIF orientation %1").arg(orientation), withExif(turnable, {{0x0112, 3, {std::uint32_t(orientation)}}}));
    add(QStringLiteral("EXIF make, then orientation 6"), withExif(turnable, {{0x010F, 2, {}, "Vireoscope Camera"}, {0x0112, 3, {6}}}));
    // What exported photos carry in their first directory, in any order, and where the library stops
    // reading it: the orientation it has met by then is the one it applies.
    const ExifEntry turn6{0x0112, 3, {6}}, xResolution{0x011A, 5, {72, 1}}, yResolution{0x011B, 5, {300, 1}},
        unit{0x0128, 3, {2}}, positioning{0x0213, 3, {1}}, shortMake{0x010F, 2, {}, "Cam"},
        software{0x0131, 2, {}, "Vireoscope 1.0"}, dateTime{0x0132, 2, {}, "2024:05:01 12:00:00"},
        farSubDirectory{0x8769, 4, {0xFFFFFF00}};
    const std::vector<ExifEntry> exported = {xResolution, yResolution, unit, shortMake, software,
                                             dateTime, positioning, farSubDirectory, turn6};
    add(QStringLiteral("EXIF resolution, unit, texts, positioning, sub-directory, then orientation 6"), withExif(turnable, exported));
    add(QStringLiteral("EXIF as exported, Intel byte order"), withExif(turnable, exported, true));
    add(QStringLiteral("EXIF without orientation"), withExif(turnable, {xResolution, yResolution, unit, software, positioning}, true));
    ExifEntry outside = software;
    outside.pointsAt = 0xFFF0;
    add(QStringLiteral("EXIF text outside the block, then orientation 6"), withExif(turnable, {unit, outside, turn6}));
    add(QStringLiteral("EXIF orientation 6, then a text outside the block"), withExif(turnable, {turn6, outside}));
    // The block cut one byte short of the resolution's denominator (8 + 2 + 2 * 12 + 4 + 8 bytes whole),
    // and inside the orientation entry, one byte short of its value and just after it.
    add(QStringLiteral("EXIF resolution cut short, then orientation 6"), withExif(turnable, {xResolution, turn6}, false, 45));
    add(QStringLiteral("EXIF resolution whole, then orientation 6"), withExif(turnable, {xResolution, turn6}, false, 46));
    add(QStringLiteral("EXIF cut inside the orientation entry"), withExif(turnable, {unit, positioning, turn6}, true, 8 + 2 + 2 * 12 + 9));
    add(QStringLiteral("EXIF cut after the orientation's value"), withExif(turnable, {unit, positioning, turn6}, true, 8 + 2 + 2 * 12 + 10));

    const cv::Size sizes[] = {{256, 192}, {257, 193}, {512, 384}, {513, 385}, {1001, 777},
                              {3000, 1},  {1, 3000},  {4000, 40}, {40, 4000}};
    for (const cv::Size size : sizes)
        add(QStringLiteral("%1 x %2").arg(size.width).arg(size.height), cjpeg(photographLike(size.width, size.height, 18), {}));

    // Damage inside rows the shrink never reads must still show as it does in the plain decode.
    const std::vector<unsigned char> large = cjpeg(photographLike(3000, 2400, 19), {QStringLiteral("-sample"), QStringLiteral("1x1")});
    const std::size_t scanStart = large.size() / 20, scanLength = large.size() - 2 * scanStart;
    for (const double at : {0.1, 0.4, 0.8}) {
        std::vector<unsigned char> changed = large;
        unsigned char &byte = changed[scanStart + std::size_t(at * scanLength)];
        byte = byte == 0x55 ? 0x56 : 0x55;
        add(QStringLiteral("3000 x 2400, a byte changed at %1 of the picture data").arg(at), changed);
    }
    add(QStringLiteral("3000 x 2400, cut short"), std::vector<unsigned char>(large.begin(), large.begin() + long(large.size() * 0.6)));

    // Restart markers every MCU row and every 7 MCUs (not in step with the rows: 75 and 64 MCUs a
    // row, 150 and 127 blocks), in one band per core, and in more bands than the rows allow.
    const QString one = QStringLiteral("1"), seven = QStringLiteral("7B");
    const struct { const char *name; QStringList options; } restartSamplings[] = {
        {"4:2:0", {QStringLiteral("-sample"), QStringLiteral("2x2")}},
        {"4:4:0", {QStringLiteral("-sample"), QStringLiteral("1x2")}},
        {"4:4:4", {QStringLiteral("-sample"), QStringLiteral("1x1")}},
        {"gray", {QStringLiteral("-grayscale")}},
    };
    const struct { cv::Mat picture; int bands; } pictures[] = {{photographLike(1200, 900, 22), coresForBands()},
                                                              {photographLike(1013, 777, 23), 64}};
    for (const auto &sampling : restartSamplings)
        for (const QString &interval : {one, seven})
            for (const auto &picture : pictures)
                add(QStringLiteral("%1, restart %2, %3 x %4, up to %5 bands")
                        .arg(QLatin1String(sampling.name), interval)
                        .arg(picture.picture.cols).arg(picture.picture.rows).arg(picture.bands),
                    cjpeg(picture.picture, sampling.options + QStringList{QStringLiteral("-restart"), interval}),
                    picture.bands, picture.bands > 1);
    const std::vector<unsigned char> restarts = cjpeg(pictures[0].picture, {QStringLiteral("-restart"), one});
    for (const int orientation : {3, 6})
        add(QStringLiteral("restart 1, EXIF orientation %1").arg(orientation), withExif(restarts, {{0x0112, 3, {std::uint32_t(orientation)}}}), 64, 1);
    // A warning in the headers alone (an unknown JFIF revision) is the plain decode's too.
    std::vector<unsigned char> newerJfif = restarts;
    newerJfif[11] = 2;
    add(QStringLiteral("restart 1, JFIF 2.01"), newerJfif, 2, 1);
    // Rows start with a restart interval only every 28 MCU rows: two bands would decode half the
    // picture twice, so it is decoded as one.
    add(QStringLiteral("restart every 28 MCU rows"), cjpeg(pictures[0].picture, {QStringLiteral("-restart"), QStringLiteral("28")}), 2, 0);

    // Damaged restart files fall back to the single decode, which matches the plain decode.
    const auto marker = [&restarts](int which) {
        const unsigned char scan[] = {0xFF, 0xDA};
        std::size_t at = std::size_t(std::search(restarts.begin(), restarts.end(), scan, scan + 2) - restarts.begin());
        for (int found = 0; at + 1 < restarts.size(); ++at)
            if (restarts[at] == 0xFF && (restarts[at + 1] & 0xF8) == 0xD0 && found++ == which)
                break;
        return at;
    };
    std::vector<unsigned char> renumbered = restarts, dropped = restarts, changed = restarts;
    renumbered[marker(20) + 1] ^= 0x02;
    dropped.erase(dropped.begin() + long(marker(30)), dropped.begin() + long(marker(30) + 2));
    changed[(marker(25) + marker(26)) / 2] ^= 0x10;
    add(QStringLiteral("restart 1, a marker misnumbered"), renumbered, 64, 0);
    add(QStringLiteral("restart 1, a marker missing"), dropped, 64, 0);
    add(QStringLiteral("restart 1, a byte changed"), changed, 64, -1);
    add(QStringLiteral("restart 1, cut short"), std::vector<unsigned char>(restarts.begin(), restarts.begin() + long(marker(40))), 64, 0);
    add(QStringLiteral("restart 1, no end marker"), std::vector<unsigned char>(restarts.begin(), restarts.end() - 2), 64, 0);

    // Every sampling three components can have (factors 1 to 4, at most ten blocks in an
    // interleaved unit), then gray and CMYK with unusual ones; baseline and progressive; at two
    // heights whose shrink reads from row 2 and from row 3 on, and skips 2 to 6 rows from every
    // offset within a row group. Samplings libjpeg will not encode (fractional ratios) are written
    // into the header of another file, as another encoder could label its file: libjpeg refuses
    // to read those, and so must the route; once each is enough.
    std::vector<std::vector<cv::Size>> samplings;
    for (int code = 0; code < 16 * 16 * 16; ++code) {
        std::vector<cv::Size> factors;
        for (int component = 0, rest = code; component < 3; ++component, rest /= 16)
            factors.emplace_back(rest % 4 + 1, rest / 4 % 4 + 1);
        if (factors[0].area() + factors[1].area() + factors[2].area() <= 10)
            samplings.push_back(factors);
    }
    for (int code = 0; code < 16; ++code)
        samplings.push_back({cv::Size(code % 4 + 1, code / 4 + 1)});
    for (const char *inks : {"1x2,1x1,1x2,1x1", "2x2,1x1,1x1,2x2", "3x1,1x1,1x1,3x1", "1x3,1x1,1x3,1x1", "4x1,2x1,1x1,2x1", "2x2,2x1,1x2,1x1"}) {
        std::vector<cv::Size> factors;
        for (const QString &factor : QString::fromLatin1(inks).split(QLatin1Char(',')))
            factors.emplace_back(factor.section(QLatin1Char('x'), 0, 0).toInt(), factor.section(QLatin1Char('x'), 1, 1).toInt());
        samplings.push_back(factors);
    }
    for (const cv::Size size : {cv::Size(31, 1201), cv::Size(27, 1501)}) {
        const cv::Mat picture = photographLike(size.width, size.height, 22);
        for (const std::vector<cv::Size> &factors : samplings) {
            QStringList names;
            for (const cv::Size factor : factors)
                names << QStringLiteral("%1x%2").arg(factor.width).arg(factor.height);
            for (const bool progressive : {false, true}) {
                const QString name = QStringLiteral("sampling %1, %2, %3 x %4")
                                         .arg(names.join(QLatin1Char(',')), progressive ? "progressive" : "baseline")
                                         .arg(size.width).arg(size.height);
                const std::vector<unsigned char> jpeg = sampledJpeg(picture, factors, progressive);
                if (!jpeg.empty())
                    add(name, jpeg);
                else if (size.height == 1201 && !progressive)
                    add(name + QStringLiteral(", labelled"), withFrameSampling(sampledJpeg(picture, std::vector<cv::Size>(factors.size(), {1, 1}), progressive), factors),
                        coresForBands(), 0, false);
            }
        }
    }

    // PNGs, by the PNG route: every colour type and depth, with and without transparency, at odd
    // widths (low depths end mid-byte); then damage of every kind, all as the plain decode has it.
    // For these, "banded" tells whether the route must take the file (1) or may leave it (-1).
    const auto addPng = [](const QString &name, const QByteArray &png, int taken) {
        QTest::newRow(qPrintable(QStringLiteral("PNG ") + name)) << png << 1 << taken << true;
    };
    const struct { int colorType; std::vector<int> depths; } pngTypes[] = {{0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    for (const auto &type : pngTypes)
        for (const int depth : type.depths)
            for (const bool transparency : {false, true})
                if (!transparency || type.colorType < 4)
                    addPng(QStringLiteral("colour type %1, %2 bits%3").arg(type.colorType).arg(depth).arg(transparency ? ", tRNS" : ""),
                           generatedPng(type.colorType, depth, cv::Size(37 + 2 * depth, 501), transparency, unsigned(depth + 16 * type.colorType)), 1);
    const QByteArray png = generatedPng(2, 8, cv::Size(1501, 401), false, 7);
    addPng(QStringLiteral("1501 x 401, in 40 pieces and empty ones"), generatedPng(2, 8, cv::Size(1501, 401), false, 7, 40), 1);
    for (const double kept : {0.001, 0.01, 0.3, 0.6, 0.99, 0.9999})
        addPng(QStringLiteral("cut to %1 of it").arg(kept), png.left(int(png.size() * kept)), -1);
    addPng(QStringLiteral("cut before the end chunk"), png.chopped(12), -1);
    const auto withCrcFlipped = [&png](const char *name) {
        QByteArray damaged = png;
        const int at = damaged.indexOf(name);
        damaged[at + 4 + qFromBigEndian<quint32>(damaged.constData() + at - 4)] ^= 1;
        return damaged;
    };
    addPng(QStringLiteral("bad picture data checksum"), withCrcFlipped("IDAT"), -1);
    addPng(QStringLiteral("bad text chunk checksum"), withCrcFlipped("tEXt"), -1);
    addPng(QStringLiteral("bad end chunk checksum"), withCrcFlipped("IEND"), -1);
    addPng(QStringLiteral("data after the end"), png + "more", 1);
    addPng(QStringLiteral("a filter type past the last"), generatedPng(0, 8, cv::Size(31, 301), false, 8, 1, [](QByteArray &stream) {
               QByteArray rows(31 * 301 + 301, '\0'); // every row filtered with 5
               for (int y = 0; y < 301; ++y)
                   rows[y * 32] = 5;
               stream = qCompress(rows).mid(4);
           }), -1);
    addPng(QStringLiteral("bad zlib checksum"), generatedPng(2, 8, cv::Size(301, 401), false, 9, 3, [](QByteArray &stream) { stream[stream.size() - 1] ^= 1; }), -1);
    addPng(QStringLiteral("data after the zlib stream"), generatedPng(2, 8, cv::Size(301, 401), false, 9, 3, [](QByteArray &stream) { stream += "extra"; }), -1);
    addPng(QStringLiteral("zlib stream cut short"), generatedPng(2, 8, cv::Size(301, 401), false, 9, 3, [](QByteArray &stream) { stream.chop(200); }), -1);
    addPng(QStringLiteral("back-references past the window its zlib header declares"), generatedPng(0, 8, cv::Size(20000, 401), false, 10, 1, [](QByteArray &stream) {
               stream = "\x08\x1D" + qCompress('\0' + ('\1' + stream.mid(2, 9999)).repeated(2) + QByteArray(20001 * 400, '\0')).mid(6); // a 256-byte window; a repeat that starts with 1 runs on into no zero row
           }), -1);
}

void TestDisplayFrames::jpegsMatchThePlainDecode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, readable);
    QFETCH(int, bands);
    QFETCH(int, banded);
    QVERIFY(!bytes.isEmpty());
    const QString file = path(QStringLiteral("variant.jpg"));
    QVERIFY(writeBytes(file, bytes));
    const bool png = bytes.startsWith("\x89PNG");
    const auto rowRoute = [&](LoadProgress *progress) {
        return png ? decodePngRows(*PictureFile::open(file), rowsReadByShrink, progress)
                   : decodeJpegRows(file, rowsReadByShrink, progress, bands);
    };
    const cv::Mat plain = cv::imread(file.toStdString(), cv::IMREAD_COLOR);
    if (!png)
        QCOMPARE(!plain.empty(), readable);
    if (plain.empty()) {
        // Reading fails both ways.
        QVERIFY(!rowRoute(nullptr));
        QVERIFY(!loadDisplayFrames(file));
        return;
    }

    // Where the shrink leaves rows unread, only the rows it reads are decoded, as the plain decode has
    // them, and every row gone through is counted.
    LoadProgress progress;
    const std::optional<DecodedPicture> decoded = rowRoute(&progress);
    const std::vector<int> readRows = rowsReadByShrink(plain.size());
    if (!png)
        QCOMPARE(decoded.has_value(), jpegRowsDecodedDirectly() && int(readRows.size()) < plain.rows);
    else if (banded == 1)
        QVERIFY(decoded);
    if (decoded) {
        QCOMPARE(decoded->pixels.size(), plain.size());
        QVERIFY(decoded->rows == readRows);
        if (banded >= 0 && !png)
            QCOMPARE(decoded->bands > 1, banded == 1);
        QVERIFY(progress.rowsToGo > 0);
        QCOMPARE(progress.rowsDone.load(), progress.rowsToGo.load());
        for (const int row : readRows)
            QVERIFY2(cv::norm(decoded->pixels.row(row), plain.row(row), cv::NORM_INF) == 0, qPrintable(QString::number(row)));
    }

    const std::optional<DisplayFrames> frames = loadDisplayFrames(file);
    QVERIFY(frames);
    const QString difference = compareFrames(*frames, literalDisplayFrames(plain));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // A load asked to stop shows nothing.
    LoadProgress cancelled;
    cancelled.cancelled = true;
    QVERIFY(!loadDisplayFrames(file, &cancelled));
}

void TestDisplayFrames::shrinkReadsOnlyItsRows_data()
{
    QTest::addColumn<cv::Size>("size");
    for (const cv::Size size : {cv::Size(6000, 4000), cv::Size(1000, 750), cv::Size(513, 385), cv::Size(512, 384),
                                cv::Size(257, 193), cv::Size(2000, 300), cv::Size(300, 2000), cv::Size(7, 5000)})
        QTest::addRow("%d x %d", size.width, size.height) << size;
    // Sizes from across the space, narrow and wide, each placing the shrink's pixels differently.
    cv::RNG random(22);
    for (int i = 0; i < 40; ++i) {
        const cv::Size size(random.uniform(1, i % 2 ? 300 : 3000), random.uniform(193, 3000));
        QTest::addRow("%d x %d", size.width, size.height) << size;
    }
}

void TestDisplayFrames::shrinkReadsOnlyItsRows()
{
    QFETCH(cv::Size, size);
    const cv::Mat picture = photographLike(size.width, size.height, 20);
    const std::vector<int> rows = rowsReadByShrink(size);
    QVERIFY(std::is_sorted(rows.begin(), rows.end()));

    // Noise in every row the shrink is not to read changes none of the six frames.
    cv::Mat noisy = picture.clone();
    cv::RNG random(21);
    for (int row = 0, next = 0; row < size.height; ++row) {
        if (next < int(rows.size()) && rows[next] == row) {
            ++next;
            continue;
        }
        cv::Mat line = noisy.row(row);
        random.fill(line, cv::RNG::UNIFORM, 0, 256);
    }
    const DisplayFrames plain = literalDisplayFrames(picture);
    const QString difference = compareFrames(deriveDisplayFrames(noisy.clone(), rows), plain);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // Shrunk as rows come, the picture and its weighted gray, every row offered: the same frames.
    if (!RowShrink::applies(size))
        return;
    RowShrink shrinkPicture(size), shrinkWeightedGray(size);
    for (int row = 0; row < size.height; ++row) {
        cv::Mat line = noisy.row(row).clone();
        shrinkPicture.add(row, line.data);
        weightedGray(line);
        shrinkWeightedGray.add(row, line.data);
    }
    const QString rowByRow = compareFrames(deriveDisplayFrames({shrinkPicture.result(), shrinkWeightedGray.result(), size}), plain);
    QVERIFY2(rowByRow.isEmpty(), qPrintable(rowByRow));
}

void TestDisplayFrames::anyFileNameOpens_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("spaces") << QStringLiteral("my holiday picture.jpg");
    QTest::newRow("chinese") << QStringLiteral("原圖 灰階.png");
    QTest::newRow("emoji") << QStringLiteral("sunrise 🌄.jpg");
#ifdef Q_OS_WIN // which forbids double quotes in names
    QTest::newRow("accents and quotes") << QStringLiteral("café 'n' crème.jpeg");
#else
    QTest::newRow("accents and quotes") << QStringLiteral("café 'n' \"crème\".jpeg");
#endif
    QTest::newRow("exotic format, chinese") << QStringLiteral("太陽.ras");
}

void TestDisplayFrames::anyFileNameOpens()
{
    QFETCH(QString, name);
    const cv::Mat photo = photographLike(200, 150, 13);
    const QString plain = path(QStringLiteral("plain.") + name.section(QLatin1Char('.'), -1));
    QVERIFY(writePicture(plain, photo));
    QFile::remove(path(name));
    QVERIFY(QFile::copy(plain, path(name)));

    const cv::Mat expected = cv::imread(plain.toStdString(), cv::IMREAD_COLOR);
    const cv::Mat decoded = decodeImageFile(path(name));
    QVERIFY(!decoded.empty());
    QCOMPARE(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
}

void TestDisplayFrames::refusesWhatIsNotARegularFile()
{
    QVERIFY(decodeImageFile(folder.path()).empty());
    QVERIFY(decodeImageFile(path(QStringLiteral("does not exist.png"))).empty());
    QVERIFY(!loadDisplayFrames(QString()).has_value());

    QVERIFY(writeBytes(path(QStringLiteral("empty.jpg")), QByteArray()));
    QVERIFY(decodeImageFile(path(QStringLiteral("empty.jpg"))).empty());

    // Opening a named pipe for reading would wait for a writer forever.
    if (!fileSystemHasNamedPipes)
        QSKIP("no named pipes among files here");
    const QString pipe = path(QStringLiteral("pipe.png"));
    QVERIFY(makeNamedPipe(pipe));
    QVERIFY(decodeImageFile(pipe).empty());
    QVERIFY(!loadDisplayFrames(pipe).has_value());
}

void TestDisplayFrames::hugeFilesThatAreNoPictureFailAtOnce_data()
{
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<qint64>("size");
    QTest::newRow("text, 3 GiB") << QByteArray("just some words\n") << (qint64(3) << 30);
    QTest::newRow("JPEG start, 1.5 GiB") << QByteArray("\xFF\xD8\xFF\xE0", 4) << (qint64(3) << 29);
    QTest::newRow("PNG start, 1 GiB") << QByteArray("\x89PNG\r\n\x1A\n", 8) << (qint64(1) << 30);
    QTest::newRow("PNG start, 5 GiB") << QByteArray("\x89PNG\r\n\x1A\n", 8) << (qint64(5) << 30);
}

void TestDisplayFrames::hugeFilesThatAreNoPictureFailAtOnce()
{
    QFETCH(QByteArray, start);
    QFETCH(qint64, size);
    // Sparse: the file is as large as it says without taking the disk space.
    QFile file(path(QStringLiteral("huge.jpg")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(start), start.size());
    QVERIFY(file.resize(size));
    file.close();

    QVERIFY(!loadDisplayFrames(file.fileName()).has_value());
    QVERIFY(file.remove());
}

void TestDisplayFrames::writesNoTemporaryFile()
{
    QTemporaryDir temporaries;
    QVERIFY(temporaries.isValid());
    qputenv("OPENCV_TEMP_PATH", QFile::encodeName(temporaries.path()));
    CreationWatch watch(temporaries.path());

    const cv::Mat photo = photographLike(64, 48, 14);
    cv::Mat radiance;
    photo.convertTo(radiance, CV_32FC3, 1 / 255.0);
    // Encode first: some encoders use temporary files themselves.
    QVERIFY(writePicture(path(QStringLiteral("t.ras")), photo));
    QVERIFY(writePicture(path(QStringLiteral("t.hdr")), radiance));
    QVERIFY(writePicture(path(QStringLiteral("t.jpg")), photo));
    QVERIFY(writePicture(path(QStringLiteral("t.tiff")), photo));
    std::vector<unsigned char> rasBytes;
    QVERIFY(cv::imencode(".ras", photo, rasBytes));
    watch.sawCreation(); // forget what encoding did

    for (const char *name : {"t.ras", "t.hdr", "t.jpg", "t.tiff"})
        QVERIFY2(!decodeImageFile(path(QString::fromLatin1(name))).empty(), name);
    QVERIFY2(!watch.sawCreation(), "a temporary file was written while decoding");

    // The watch does see one: decoding a Sun raster from memory goes through a temporary file.
    QVERIFY(!cv::imdecode(rasBytes, cv::IMREAD_COLOR).empty());
    QVERIFY(watch.sawCreation());
    qunsetenv("OPENCV_TEMP_PATH");
}

void TestDisplayFrames::reblurFollowsTheKernelSize()
{
    const cv::Mat colorFrame = literalDisplayFrames(photographLike(500, 400, 15)).rgb;
    for (int size = 1; size <= 35; size += 2) {
        const cv::Mat blurred = reblurredFrame(colorFrame, size);
        QCOMPARE(blurred.size(), cv::Size(256, 192));
        QCOMPARE(cv::norm(blurred, literalReblur(colorFrame, size), cv::NORM_INF), 0.0);
    }
    QCOMPARE(cv::norm(reblurredFrame(colorFrame, 1), colorFrame, cv::NORM_INF), 0.0);
    // Kernel sizes must be odd and positive: even ones go up to the next odd size.
    QCOMPARE(cv::norm(reblurredFrame(colorFrame, 4), literalReblur(colorFrame, 5), cv::NORM_INF), 0.0);
    QCOMPARE(cv::norm(reblurredFrame(colorFrame, 34), literalReblur(colorFrame, 35), cv::NORM_INF), 0.0);
    QCOMPARE(cv::norm(reblurredFrame(colorFrame, 0), colorFrame, cv::NORM_INF), 0.0);
    QCOMPARE(cv::norm(reblurredFrame(colorFrame, -8), colorFrame, cv::NORM_INF), 0.0);
    QVERIFY(reblurredFrame(cv::Mat(), 5).empty());
}

QTEST_GUILESS_MAIN(TestDisplayFrames)
#include "tst_display_frames.moc"
