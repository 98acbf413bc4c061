// From a file's bytes to the six display frames, without a window: identical pixels to the
// plain sequence of library calls, for any picture, and no trouble from any file name or kind.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "display_frames.h"
#include "image_file.h"
#include "literal_pipeline.h"
#include "pictures.h"

Q_DECLARE_METATYPE(cv::Mat)

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

// Reports files created in a folder while it lives.
class CreationWatch
{
public:
    explicit CreationWatch(const QString &folder)
        : descriptor(inotify_init1(IN_NONBLOCK))
    {
        inotify_add_watch(descriptor, QFile::encodeName(folder).constData(), IN_CREATE);
    }
    ~CreationWatch() { close(descriptor); }
    bool sawCreation() const
    {
        char buffer[4096];
        return read(descriptor, buffer, sizeof buffer) > 0;
    }

private:
    int descriptor;
};

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
    const auto encoded = [&](const char *extension, const cv::Mat &picture, std::vector<int> parameters = {}) {
        std::vector<unsigned char> bytes;
        cv::imencode(extension, picture, bytes, parameters);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
    };
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
    QVERIFY(!bytes.isEmpty());
    QVERIFY(writeBytes(path(name), bytes));

    const cv::Mat expected = cv::imread(path(name).toStdString(), cv::IMREAD_COLOR);
    QVERIFY(!expected.empty());
    QCOMPARE(expected.type(), CV_8UC3);
    const cv::Mat decoded = decodeImageFile(path(name));
    QCOMPARE(decoded.size(), expected.size());
    QCOMPARE(cv::norm(decoded, expected, cv::NORM_INF), 0.0);

    const std::optional<DisplayFrames> frames = loadDisplayFrames(path(name));
    QVERIFY(frames);
    const QString difference = compareFrames(*frames, literalDisplayFrames(expected));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestDisplayFrames::anyFileNameOpens_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("spaces") << QStringLiteral("my holiday picture.jpg");
    QTest::newRow("chinese") << QStringLiteral("原圖 灰階.png");
    QTest::newRow("emoji") << QStringLiteral("sunrise 🌄.jpg");
    QTest::newRow("accents and quotes") << QStringLiteral("café 'n' \"crème\".jpeg");
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

    // Opening a named pipe for reading would wait for a writer forever.
    const QString pipe = path(QStringLiteral("pipe.png"));
    QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QVERIFY(decodeImageFile(pipe).empty());
    QVERIFY(!loadDisplayFrames(pipe).has_value());

    QVERIFY(writeBytes(path(QStringLiteral("empty.jpg")), QByteArray()));
    QVERIFY(decodeImageFile(path(QStringLiteral("empty.jpg"))).empty());
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
