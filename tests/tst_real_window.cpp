// The real program in a real window on an X server, used as a person uses it: mouse clicks on
// "load" and on the spin box's arrows, a path typed into the file dialog, the window closed.
// What the screen shows is checked pixel by pixel.
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "pictures.h"
#include "shown.h"
#include "xsession.h"

class TestRealWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void aPersonsSession();

private:
    QTemporaryDir folder;
    XSession x;
    QProcess program;
    QPoint central; // the central widget's top left on the screen

    bool click(QPoint inCentralWidget) const { return x.click(central + inCentralWidget); }
    cv::Mat viewOnScreen(const cv::Mat &screen, const char *name) const { return ::viewOnScreen(screen, central, name); }
};

void TestRealWindow::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY2(x.isRunning(), "Xvfb did not start");
}

void TestRealWindow::aPersonsSession()
{
    const QString picturePath = folder.filePath(QStringLiteral("holiday photo 照片.png"));
    QVERIFY(writePicture(picturePath, landscape(900, 600)));
    const QString textPath = folder.filePath(QStringLiteral("notes.txt"));
    QVERIFY(writeBytes(textPath, QByteArray("not a picture\n")));
    const QString plainCopy = folder.filePath(QStringLiteral("plain.png"));
    QVERIFY(QFile::copy(picturePath, plainCopy));
    const DisplayFrames expected = literalDisplayFrames(cv::imread(plainCopy.toStdString(), cv::IMREAD_COLOR));

    QVERIFY(x.bindKeysFor(picturePath + textPath));
    program.setProcessEnvironment(x.environment());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {});
    QVERIFY(program.waitForStarted());
    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"));
    QVERIFY2(window, "no window titled Vireoscope appeared");

    const std::optional<QPoint> found = centralWidgetOnScreen(x, window);
    QVERIFY2(found, "the window did not show its empty views");
    central = *found;

    // The decoders are not loaded until the first picture is opened.
    const auto decodersLoaded = [&] {
        QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
        return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libopencv_imgcodecs");
    };
    QVERIFY(!decodersLoaded());

    // Load the picture whose name has spaces and Chinese characters.
    const cv::Mat origin = asShown(expected.rgb);
    QVERIFY(openThroughFileDialog(x, central, picturePath));
    QVERIFY2(x.waitForScreen([&](const cv::Mat &screen) {
                 return differingSamples(viewOnScreen(screen, "origin"), origin) == 0;
             }),
             "the picture did not appear in the origin view");
    QVERIFY(decodersLoaded());
    cv::Mat screen = x.screenshot();
    const char *differing = firstViewDiffering(screen, central, expected);
    QVERIFY2(!differing, differing);

    // The spin box's arrows: up twice, then down once.
    const QPoint upArrow(130 + 44 - 7, 470 + 6);
    const QPoint downArrow(130 + 44 - 7, 470 + 24 - 6);
    const struct { QPoint arrow; int size; } steps[] = {{upArrow, 3}, {upArrow, 5}, {downArrow, 3}};
    for (const auto &step : steps) {
        QVERIFY(click(step.arrow));
        const cv::Mat blurred = literalReblur(expected.rgb, step.size);
        QVERIFY2(x.waitForScreen([&](const cv::Mat &now) {
                     return differingSamples(viewOnScreen(now, "gaussian"), blurred) == 0;
                 }),
                 qPrintable(QStringLiteral("no blur with kernel size %1").arg(step.size)));
    }
    if (!qEnvironmentVariableIsEmpty("VIREOSCOPE_SCREENSHOT")) {
        QVERIFY(click(upArrow) && click(upArrow) && click(upArrow)); // a clearly visible blur
        const cv::Mat blurred = literalReblur(expected.rgb, 9);
        QVERIFY(x.waitForScreen([&](const cv::Mat &now) {
            return differingSamples(viewOnScreen(now, "gaussian"), blurred) == 0;
        }));
        const QRect frame = x.geometryOf(window);
        cv::Mat shot = x.screenshot()(cv::Rect(frame.left(), frame.top(), frame.width(), frame.height()));
        cv::cvtColor(shot, shot, cv::COLOR_RGB2BGR);
        QVERIFY(cv::imwrite(qEnvironmentVariable("VIREOSCOPE_SCREENSHOT").toStdString(), shot));
    }

    // A file that does not decode: the program says so and the screen stays as it was.
    screen = x.screenshot();
    QVERIFY(openThroughFileDialog(x, central, textPath));
    QDeadlineTimer deadline(15000);
    while (!program.canReadLine() && !deadline.hasExpired())
        program.waitForReadyRead(100);
    QCOMPARE(program.readLine(), QByteArray("reading fail\n"));
    QVERIFY(x.waitForWindow(QStringLiteral("Vireoscope")));
    QThread::msleep(200);
    const cv::Mat after = x.screenshot();
    for (const char *view : displayViewNames)
        QVERIFY2(differingSamples(viewOnScreen(after, view), viewOnScreen(screen, view)) == 0, view);

    // Closing the window ends the program with exit code 0 and nothing more said.
    QVERIFY(x.requestClose(window));
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(TestRealWindow)
#include "tst_real_window.moc"
