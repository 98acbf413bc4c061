// Broken and hostile files, loaded through the window: each shows exactly what the plain decode
// and the plain filters make of it, or, where the plain decode fails, gives "reading fail" with
// nothing changed; never a crash or a hang.
#include <QGraphicsView>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "mainwindow.h"
#include "pictures.h"
#include "shown.h"

namespace {

QByteArray encoded(const char *extension, const cv::Mat &picture, const std::vector<int> &parameters = {})
{
    std::vector<unsigned char> bytes;
    cv::imencode(extension, picture, bytes, parameters);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBigEndian(QByteArray &bytes, qsizetype at, quint32 value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes[at + i] = char(value >> (8 * (width - 1 - i)));
}

// A PNG whose header claims width x height, with a correct checksum.
QByteArray pngClaiming(quint32 width, quint32 height)
{
    QByteArray png = encoded(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
    const qsizetype header = png.indexOf("IHDR");
    putBigEndian(png, header + 4, width, 4);
    putBigEndian(png, header + 8, height, 4);
    putBigEndian(png, header + 17, crc32(png.mid(header, 17)), 4);
    return png;
}

// A JPEG whose frame header claims width x height.
QByteArray jpegClaiming(quint16 width, quint16 height)
{
    QByteArray jpeg = encoded(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
    const qsizetype frame = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
    putBigEndian(jpeg, frame + 5, height, 2);
    putBigEndian(jpeg, frame + 7, width, 2);
    return jpeg;
}

// Where the first scan's entropy-coded data starts and ends.
std::pair<qsizetype, qsizetype> firstScanData(const QByteArray &jpeg)
{
    const qsizetype header = jpeg.indexOf(QByteArray("\xFF\xDA", 2));
    const qsizetype start = header + 2 + ((uchar(jpeg[header + 2]) << 8) | uchar(jpeg[header + 3]));
    qsizetype end = start;
    while (end + 1 < jpeg.size() && !(uchar(jpeg[end]) == 0xFF && uchar(jpeg[end + 1]) != 0 && (uchar(jpeg[end + 1]) & 0xF8) != 0xD0))
        ++end;
    return {start, end};
}


} // namespace

class TestMalformed : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void brokenFilesShowWhatThePlainDecodeShows_data();
    void brokenFilesShowWhatThePlainDecodeShows();

private:
    QTemporaryDir folder;
    MainWindow *window = nullptr;
    std::string load(const QString &path);
};

void TestMalformed::initTestCase()
{
    QVERIFY(folder.isValid());
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestMalformed::cleanupTestCase()
{
    delete window;
}

std::string TestMalformed::load(const QString &path)
{
    return loadThroughDialog(window, path);
}

void TestMalformed::brokenFilesShowWhatThePlainDecodeShows_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("mustFail");

    const cv::Mat picture = photographLike(120, 90, 41);
    const cv::Mat photo = photographLike(800, 600, 43);
    const std::vector<cv::Vec3b> palette = gifColours(3);
    const struct { const char *name; QByteArray whole; } files[] = {
        {"jpeg", encoded(".jpg", picture)},
        {"large jpeg", encoded(".jpg", photo, {cv::IMWRITE_JPEG_QUALITY, 92})},
        {"progressive jpeg", encoded(".jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"jpeg with restart markers", encoded(".jpg", photo, {cv::IMWRITE_JPEG_RST_INTERVAL, 800 / 16})}, // decoded in bands
        {"png", encoded(".png", picture)},
        {"large png", encoded(".png", photo)}, // only the rows the views read are kept
        {"bmp", encoded(".bmp", picture)},
        {"tiff", encoded(".tiff", picture)},
        {"webp", encoded(".webp", picture)},
        {"heic", heifEncoded(photo)},
        {"heic grid of one tile, odd size", heifEncoded(photographLike(121, 91, 44))},
    };
    for (const auto &file : files) {
        const QByteArray &whole = file.whole;
        if (whole.isEmpty() && !heifEncodes()) {
            qInfo("%s: left out, libheif here has no encoder to write it with", file.name);
            continue;
        }
        QVERIFY(!whole.isEmpty());
        for (const double kept : {0.0, 0.02, 0.1, 0.5, 0.9, 0.999}) {
            const qsizetype length = qMax<qsizetype>(1, qsizetype(whole.size() * kept));
            QTest::addRow("%s truncated to %lld bytes", file.name, qlonglong(length)) << whole.left(length) << false;
        }
        QTest::addRow("%s one byte short", file.name) << whole.chopped(1) << false;
        // Where damaged HEVC data leaves parts of a picture undecoded, libde265 leaves them as its
        // buffers happened to be: two decodes of the same file need not agree. The fuzzer covers those.
        if (QByteArray(file.name).startsWith("heic"))
            continue;
        cv::RNG random(42);
        for (const double at : {0.0, 0.01, 0.05, 0.3, 0.7, 0.99}) {
            QByteArray flipped = whole;
            const qsizetype position = qMin(whole.size() - 1, qsizetype(whole.size() * at));
            for (int bit = 0; bit < 8; ++bit) {
                const qsizetype where = qMin(whole.size() - 1, position + random.uniform(0, 16));
                flipped[where] = char(flipped[where] ^ (1 << random.uniform(0, 8)));
            }
            QTest::addRow("%s with bits flipped near byte %lld", file.name, qlonglong(position)) << flipped << false;
        }
        if (!QByteArray(file.name).contains("jpeg"))
            continue;
        // Cut where a JPEG decoder changes state, and one byte of the picture data changed.
        const auto [scanStart, scanEnd] = firstScanData(whole);
        QTest::addRow("%s cut just after the scan header", file.name) << whole.left(scanStart) << false;
        QTest::addRow("%s cut mid-scan", file.name) << whole.left((scanStart + scanEnd) / 2) << false;
        QByteArray changed = whole;
        const qsizetype middle = (scanStart + scanEnd) / 2;
        changed[middle] = char(uchar(changed[middle]) == 0x55 ? 0x56 : 0x55);
        QTest::addRow("%s with a byte changed mid-scan", file.name) << changed << false;
        // A decoder that stops at the last row it needs never sees this.
        QByteArray unknownMarker = whole;
        unknownMarker.insert(scanEnd, QByteArray("\xFF\x02", 2));
        QTest::addRow("%s with an unknown marker after the picture data", file.name) << unknownMarker << false;
    }
    QTest::newRow("zero bytes") << QByteArray() << true;
    QTest::newRow("text under an image name") << QByteArray("not a picture at all\n") << true;
    QTest::newRow("PNG claiming 2^31-1 x 2^31-1") << pngClaiming(0x7FFFFFFF, 0x7FFFFFFF) << true;
    QTest::newRow("PNG claiming 100000 x 100000") << pngClaiming(100000, 100000) << true;
    QTest::newRow("JPEG claiming 65500 x 65500") << jpegClaiming(65500, 65500) << true;
    if (heifEncodes()) {
        // Its width (ispe) past libheif's limit of 32768 a side, within which no picture passes OpenCV's 2^30 pixels.
        QByteArray huge = heifEncoded(picture);
        putBigEndian(huge, huge.indexOf("ispe") + 8, 65535, 4);
        QTest::newRow("HEIC claiming 65535 pixels wide") << huge << true;
        QTest::newRow("HEIC grid, a tile missing") << heifGrid(photographLike(255, 191, 45), {500, 350}, true) << true;
    } else {
        qInfo("HEIC files claiming too much: left out, libheif here has no encoder to write them with");
    }
    const QByteArray gif = gifEncoded({64, 48}, palette, 7, {{gifIndices(picture.size()), {100, 80}}});
    // Its header, screen, colour table and graphics control extension, without the image; then cut inside it.
    QTest::newRow("GIF cut before its first image") << gif.left(13 + 3 * 256 + 8) << true;
    QTest::newRow("GIF cut inside its first image") << gifEncoded({64, 48}, palette, 7, {{gifIndices({64, 48}), {0, 0}}}).chopped(100) << true;
    QTest::newRow("GIF whose image lies off its screen") << gif << false;
}

void TestMalformed::brokenFilesShowWhatThePlainDecodeShows()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, mustFail);
    QVERIFY(writePicture(folder.filePath(QStringLiteral("good.png")), photographLike(64, 48, 42)));
    QCOMPARE(load(folder.filePath(QStringLiteral("good.png"))), std::string());
    cv::Mat before[6];
    for (int i = 0; i < 6; ++i)
        before[i] = shownPicture(window->findChild<QGraphicsView *>(displayViewNames[i]));

    const QString path = folder.filePath(QStringLiteral("損壞的 照片 copy.jpg"));
    QVERIFY(writeBytes(path, bytes));
    const cv::Mat plain = libraryDecode(path);
    QVERIFY(!mustFail || plain.empty());
    const std::string output = load(path);
    if (plain.empty()) {
        QCOMPARE(output, std::string("reading fail\n"));
        for (int i = 0; i < 6; ++i)
            QCOMPARE(differingSamples(shownPicture(window->findChild<QGraphicsView *>(displayViewNames[i])), before[i]), 0LL);
        return;
    }
    QCOMPARE(output, std::string());
    const DisplayFrames expected = literalDisplayFrames(plain);
    const cv::Mat frames[] = {expected.rgb, expected.gray, expected.gauss, expected.sobel, expected.laplace, expected.average};
    for (int i = 0; i < 6; ++i)
        QVERIFY2(differingSamples(shownPicture(window->findChild<QGraphicsView *>(displayViewNames[i])), asShown(frames[i])) == 0,
                 displayViewNames[i]);
}

QTEST_MAIN(TestMalformed)
#include "tst_malformed.moc"
