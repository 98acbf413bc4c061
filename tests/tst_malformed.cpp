// Broken and hostile files, loaded through the window: each gives "reading fail" with nothing
// changed, or six proper views; never a crash or a hang.
#include <QGraphicsView>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include "dialog_driver.h"
#include "mainwindow.h"
#include "pictures.h"
#include "shown.h"

namespace {

QByteArray encoded(const char *extension, const cv::Mat &picture)
{
    std::vector<unsigned char> bytes;
    cv::imencode(extension, picture, bytes);
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

} // namespace

class TestMalformed : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void brokenFilesFailOrShowSixViews_data();
    void brokenFilesFailOrShowSixViews();

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

void TestMalformed::brokenFilesFailOrShowSixViews_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("mustFail");

    const cv::Mat picture = photographLike(120, 90, 41);
    const char *const formats[] = {".jpg", ".png", ".bmp", ".tiff", ".webp"};
    for (const char *format : formats) {
        const QByteArray whole = encoded(format, picture);
        QVERIFY(!whole.isEmpty());
        for (const double kept : {0.0, 0.02, 0.1, 0.5, 0.9, 0.999}) {
            const qsizetype length = qMax<qsizetype>(1, qsizetype(whole.size() * kept));
            QTest::addRow("%s truncated to %lld bytes", format, qlonglong(length)) << whole.left(length) << false;
        }
        cv::RNG random(42);
        for (const double at : {0.0, 0.01, 0.05, 0.3, 0.7, 0.99}) {
            QByteArray flipped = whole;
            const qsizetype position = qMin(whole.size() - 1, qsizetype(whole.size() * at));
            for (int bit = 0; bit < 8; ++bit) {
                const qsizetype where = qMin(whole.size() - 1, position + random.uniform(0, 16));
                flipped[where] = char(flipped[where] ^ (1 << random.uniform(0, 8)));
            }
            QTest::addRow("%s with bits flipped near byte %lld", format, qlonglong(position)) << flipped << false;
        }
    }
    QTest::newRow("zero bytes") << QByteArray() << true;
    QTest::newRow("text under an image name") << QByteArray("not a picture at all\n") << true;
    QTest::newRow("PNG claiming 2^31-1 x 2^31-1") << pngClaiming(0x7FFFFFFF, 0x7FFFFFFF) << true;
    QTest::newRow("PNG claiming 100000 x 100000") << pngClaiming(100000, 100000) << true;
    QTest::newRow("JPEG claiming 65500 x 65500") << jpegClaiming(65500, 65500) << true;
}

void TestMalformed::brokenFilesFailOrShowSixViews()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, mustFail);
    QVERIFY(writePicture(folder.filePath(QStringLiteral("good.png")), photographLike(64, 48, 42)));
    QCOMPARE(load(folder.filePath(QStringLiteral("good.png"))), std::string());
    cv::Mat before[6];
    for (int i = 0; i < 6; ++i)
        before[i] = shownPicture(window->findChild<QGraphicsView *>(displayViewNames[i]));

    const QString path = folder.filePath(QStringLiteral("broken.jpg"));
    QVERIFY(writeBytes(path, bytes));
    const std::string output = load(path);
    if (output == "reading fail\n") {
        for (int i = 0; i < 6; ++i)
            QCOMPARE(differingSamples(shownPicture(window->findChild<QGraphicsView *>(displayViewNames[i])), before[i]), 0LL);
    } else {
        QVERIFY(!mustFail);
        QCOMPARE(output, std::string());
        for (const char *name : displayViewNames)
            QCOMPARE(shownPicture(window->findChild<QGraphicsView *>(name)).size(), cv::Size(256, 192));
    }
}

QTEST_MAIN(TestMalformed)
#include "tst_malformed.moc"
