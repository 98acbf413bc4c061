// The real program in a real window on an X server, used as a person uses it: mouse clicks on
// "load" and on the spin box's arrows, a path typed into the file dialog, the window closed.
// What the screen shows is checked pixel by pixel.
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "pictures.h"
#include "shown.h"
#include "xsession.h"

namespace {

struct ViewPlace
{
    const char *name;
    QPoint topLeft; // in the central widget
};
const ViewPlace viewPlaces[] = {
    {"origin", {10, 40}},  {"gray", {270, 40}},  {"average", {530, 40}},
    {"gaussian", {10, 270}}, {"sobel", {270, 270}}, {"laplacian", {530, 270}},
};

// The spin box's arrows, in the central widget.
const QPoint upArrow(130 + 44 - 7, 470 + 6);
const QPoint downArrow(130 + 44 - 7, 470 + 24 - 6);

// Processor time the process has used so far, in seconds.
double processorSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // After the name in parentheses: state is field 3, user and system time fields 14 and 15.
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK)) : -1;
}

} // namespace

class TestRealWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void aPersonsSession();
    void answersWhileLoading();
    void newerLoadOvertakesOlder();
    void closingMidLoadEndsAtOnce();

private:
    QTemporaryDir folder;
    XSession x;
    QProcess program;
    unsigned long window = 0;
    QPoint central; // the central widget's top left on the screen
    QString largePath, smallPath; // a PNG that takes seconds to load, and one that does not

    bool startProgram();
    bool click(QPoint inCentralWidget) const { return x.click(central + inCentralWidget); }
    cv::Mat viewOnScreen(const cv::Mat &screen, const char *name) const;
    QString showsFramesOf(const cv::Mat &screen, const DisplayFrames &frames, int kernelSize = 1) const;
};

void TestRealWindow::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY2(x.isRunning(), "Xvfb did not start");
    // Smooth, so that it is quick to write; 75 megapixels, so that decoding it takes a while.
    cv::Mat coarse(6, 8, CV_8UC3);
    cv::RNG(5).fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::Mat large;
    cv::resize(coarse, large, cv::Size(10000, 7500), 0, 0, cv::INTER_LINEAR);
    largePath = folder.filePath(QStringLiteral("large.png"));
    QVERIFY(writePicture(largePath, large));
    smallPath = folder.filePath(QStringLiteral("small.png"));
    QVERIFY(writePicture(smallPath, landscape(640, 480)));
}

void TestRealWindow::cleanup()
{
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished();
    }
}

bool TestRealWindow::startProgram()
{
    program.setProcessEnvironment(x.environment());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {});
    if (!program.waitForStarted())
        return false;
    window = x.waitForWindow(QStringLiteral("Vireoscope"));
    const std::optional<QPoint> found = window ? centralWidgetOnScreen(x, window) : std::nullopt;
    central = found.value_or(QPoint());
    return found.has_value();
}

cv::Mat TestRealWindow::viewOnScreen(const cv::Mat &screen, const char *name) const
{
    for (const ViewPlace &place : viewPlaces) {
        if (qstrcmp(place.name, name) == 0) {
            const QPoint at = central + place.topLeft;
            const cv::Rect area(at.x(), at.y(), 256, 192);
            if ((area & cv::Rect(0, 0, screen.cols, screen.rows)) != area)
                return {};
            return screen(area).clone();
        }
    }
    return {};
}

// Empty if all six views on the screen show these frames, the Gaussian one blurred with the kernel size.
QString TestRealWindow::showsFramesOf(const cv::Mat &screen, const DisplayFrames &frames, int kernelSize) const
{
    const struct { const char *view; cv::Mat frame; } views[] = {
        {"origin", frames.rgb}, {"gray", frames.gray},
        {"gaussian", kernelSize == 1 ? frames.gauss : literalReblur(frames.rgb, kernelSize)},
        {"sobel", frames.sobel}, {"laplacian", frames.laplace}, {"average", frames.average},
    };
    for (const auto &view : views)
        if (differingSamples(viewOnScreen(screen, view.view), asShown(view.frame)) != 0)
            return QStringLiteral("%1 shows other pixels").arg(QLatin1String(view.view));
    return {};
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
    QVERIFY2(startProgram(), "the window did not show its empty views");

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
    const QString difference = showsFramesOf(screen, expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // The spin box's arrows: up twice, then down once.
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
    for (const ViewPlace &place : viewPlaces)
        QVERIFY2(differingSamples(viewOnScreen(after, place.name), viewOnScreen(screen, place.name)) == 0, place.name);

    // Closing the window ends the program with exit code 0 and nothing more said.
    QVERIFY(x.requestClose(window));
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

void TestRealWindow::answersWhileLoading()
{
    QVERIFY2(startProgram(), "the window did not show its empty views");
    const DisplayFrames small = literalDisplayFrames(cv::imread(smallPath.toStdString(), cv::IMREAD_COLOR));
    QVERIFY(openThroughFileDialog(x, central, smallPath));
    QVERIFY(x.waitForScreen([&](const cv::Mat &screen) { return showsFramesOf(screen, small).isEmpty(); }));

    // While the large picture loads, the window answers at once, and the spin box blurs the
    // picture shown.
    QVERIFY(openThroughFileDialog(x, central, largePath));
    for (int ping = 0; ping < 5; ++ping) {
        const double milliseconds = x.ping(window);
        QVERIFY2(milliseconds >= 0 && milliseconds < 250, qPrintable(QStringLiteral("answered after %1 ms").arg(milliseconds)));
    }
    QVERIFY(click(upArrow));
    const cv::Mat smallBlurred = literalReblur(small.rgb, 3);
    QVERIFY(x.waitForScreen([&](const cv::Mat &screen) {
        return differingSamples(viewOnScreen(screen, "gaussian"), smallBlurred) == 0;
    }));
    QVERIFY2(differingSamples(viewOnScreen(x.screenshot(), "origin"), asShown(small.rgb)) == 0,
             "the load was over before the window could be tried");

    // Then the large picture's six views, blurred as the spin box now says.
    const DisplayFrames large = literalDisplayFrames(cv::imread(largePath.toStdString(), cv::IMREAD_COLOR));
    QVERIFY(x.waitForScreen([&](const cv::Mat &screen) {
        return differingSamples(viewOnScreen(screen, "origin"), asShown(large.rgb)) == 0;
    }, 120000));
    const QString difference = showsFramesOf(x.screenshot(), large, 3);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

void TestRealWindow::newerLoadOvertakesOlder()
{
    QVERIFY2(startProgram(), "the window did not show its empty views");
    QVERIFY(openThroughFileDialog(x, central, largePath));
    QVERIFY(openThroughFileDialog(x, central, smallPath));
    const DisplayFrames small = literalDisplayFrames(cv::imread(smallPath.toStdString(), cv::IMREAD_COLOR));
    QVERIFY(x.waitForScreen([&](const cv::Mat &screen) { return showsFramesOf(screen, small).isEmpty(); }));

    // Once the program has nothing left to do, the overtaken load is over: the small picture
    // is still what all six views show.
    double before = processorSeconds(program.processId()), after = -1;
    QDeadlineTimer deadline(120000);
    while (!deadline.hasExpired()) {
        QThread::msleep(500);
        after = processorSeconds(program.processId());
        if (after - before < 0.02)
            break;
        before = after;
    }
    QVERIFY2(!deadline.hasExpired(), "the program did not come to rest");
    const QString difference = showsFramesOf(x.screenshot(), small);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

void TestRealWindow::closingMidLoadEndsAtOnce()
{
    QVERIFY2(startProgram(), "the window did not show its empty views");
    QVERIFY(openThroughFileDialog(x, central, largePath));
    QElapsedTimer sinceClose;
    sinceClose.start();
    QVERIFY(x.requestClose(window));
    QVERIFY(program.waitForFinished(10000));
    QVERIFY2(sinceClose.elapsed() < 1000, qPrintable(QStringLiteral("ended after %1 ms").arg(sinceClose.elapsed())));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    const QByteArray errors = program.readAllStandardError();
    QVERIFY2(!errors.contains("Sanitizer") && !errors.contains("runtime error"), errors.constData());
}

QTEST_GUILESS_MAIN(TestRealWindow)
#include "tst_real_window.moc"
