// vireoscope.exe, cross-built for Windows and unpacked from its zip
// ($VIREOSCOPE_WINDOWS_EXECUTABLE), under Wine on the X display $DISPLAY, in the Wine prefix
// $WINEPREFIX: scripts/windows/wine_tests.sh runs it. What the screen shows is checked pixel by
// pixel, as for the Linux window.
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "pictures.h"
#include "shown.h"
#include "xsession.h"

class TestWineWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void showsWhatThePlainDecodeShows_data();
    void showsWhatThePlainDecodeShows();

private:
    QTemporaryDir folder;
    XSession x{qEnvironmentVariable("DISPLAY")};
    QProcess program;

    // Starts the program with the file, as Explorer would hand it over: a Windows path.
    void start(const QString &path)
    {
        program.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        program.start(QStringLiteral("wine"), {qEnvironmentVariable("VIREOSCOPE_WINDOWS_EXECUTABLE"),
                                               QStringLiteral("Z:") + QDir::toNativeSeparators(path)});
    }
    // Closing the window ends the program with exit code 0.
    void closeAndCheckExit(unsigned long window)
    {
        QVERIFY(x.requestClose(window));
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
};

void TestWineWindow::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty("VIREOSCOPE_WINDOWS_EXECUTABLE"), "no Windows executable given");
    QVERIFY2(x.isRunning(), "no X display given");
}

void TestWineWindow::cleanup()
{
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished();
    }
}

void TestWineWindow::showsWhatThePlainDecodeShows_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    // Chinese in the folder and the name: outside the ANSI code page. HEIC and AVIF are written
    // here, where libheif has encoders, to check the Windows build's decoders.
    const cv::Mat picture = landscape(900, 600);
    std::vector<unsigned char> png;
    QVERIFY(cv::imencode(".png", picture, png));
    QTest::newRow("png") << QStringLiteral("假期 photos/holiday 照片.png") << QByteArray(reinterpret_cast<const char *>(png.data()), qsizetype(png.size()));
    if (heifEncodes()) {
        QTest::newRow("heic") << QStringLiteral("假期 photos/照片.heic") << heifEncoded(picture);
        QTest::newRow("avif") << QStringLiteral("假期 photos/照片.avif") << heifEncoded(picture, true);
    }
    QTest::newRow("not a picture") << QStringLiteral("不是照片.png") << QByteArray("not a picture\n");
}

void TestWineWindow::showsWhatThePlainDecodeShows()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QDir(folder.path()).mkdir(QStringLiteral("假期 photos"));
    const QString picturePath = folder.filePath(name);
    QVERIFY(writeBytes(picturePath, bytes));
    const cv::Mat plain = libraryDecode(picturePath);

    start(picturePath);
    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"), 120000);
    QVERIFY2(window, "no window titled Vireoscope");
    if (plain.empty()) {
        QDeadlineTimer deadline(60000);
        while (!program.canReadLine() && !deadline.hasExpired())
            program.waitForReadyRead(100);
        QCOMPARE(program.readLine(), QByteArray("reading fail\r\n")); // a text stream's line end on Windows
        closeAndCheckExit(window);
        return;
    }
    const DisplayFrames expected = literalDisplayFrames(plain);
    const std::optional<QPoint> central = centralByPicture(x, window, asShown(expected.rgb));
    QVERIFY2(central, "the picture does not appear in the window");
    QString difference;
    x.waitForScreen([&](const cv::Mat &screen) {
        difference = viewsDiffer(screen, *central, expected);
        return difference.isEmpty();
    });
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // The spin box's arrows: up twice, then down once.
    const struct { QPoint arrow; int size; } steps[] = {{spinBoxUpArrow, 3}, {spinBoxUpArrow, 5}, {spinBoxDownArrow, 3}};
    for (const auto &step : steps) {
        QVERIFY(x.click(*central + step.arrow));
        const cv::Mat blurred = literalReblur(expected.rgb, step.size);
        QVERIFY2(x.waitForScreen([&](const cv::Mat &now) {
                     return differingSamples(viewOnScreen(now, *central, "gaussian"), blurred) == 0;
                 }),
                 qPrintable(QStringLiteral("no blur with kernel size %1").arg(step.size)));
    }
    closeAndCheckExit(window);
}

QTEST_GUILESS_MAIN(TestWineWindow)
#include "tst_wine_window.moc"
