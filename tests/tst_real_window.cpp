// The real program in a real window on an X server, used as a person uses it: mouse clicks on
// "load" and on the spin box's arrows, a path typed into the file dialog, a file given on the
// command line, the window closed; and as a screen reader reads it. What the screen shows is
// checked pixel by pixel.
//
// `tst_real_window --shows PICTURE` checks instead that the window titled Vireoscope on the
// $DISPLAY shows that picture's six views (the package check launches it as a desktop would).
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <QUrl>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <csignal>
#include <map>
#include <unistd.h>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "pictures.h"
#include "shown.h"
#include "xsession.h"

namespace {

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

// The process that has the picture open: the one decoding it; 0 if none opens it.
qint64 processHolding(const QString &picture)
{
    for (QDeadlineTimer deadline(20000); !deadline.hasExpired(); QThread::msleep(10))
        for (const QFileInfo &process : QDir(QStringLiteral("/proc")).entryInfoList({QStringLiteral("[0-9]*")}, QDir::Dirs))
            for (const QFileInfo &open : QDir(process.filePath() + QStringLiteral("/fd")).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                if (open.symLinkTarget() == picture)
                    return process.fileName().toLongLong();
    return 0;
}

// What each of the process's descriptors names ("0 pipe:[1234]", ...), in order.
QStringList descriptorsOf(qint64 process)
{
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(process));
    std::map<int, QString> named;
    for (const QString &number : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t length = readlink(QFile::encodeName(descriptors.filePath(number)).constData(), target, sizeof target);
        named[number.toInt()] = QFile::decodeName(QByteArray(target, int(std::max<ssize_t>(length, 0))));
    }
    QStringList listed;
    for (const auto &[number, target] : named)
        listed << QStringLiteral("%1 %2").arg(number).arg(target);
    return listed;
}

} // namespace

class TestRealWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void aPersonsSession();
    void startsWithTheFileItIsGiven_data();
    void startsWithTheFileItIsGiven();
    void screenReaderReadsNamesAndStatus();
    void answersWhileLoading();
    void newerLoadOvertakesOlder();
    void closingMidLoadEndsAtOnce();
    void killedDecoderFailsOnlyItsLoad();

private:
    QTemporaryDir folder;
    XSession x;
    QProcess program;
    unsigned long window = 0;
    QPoint central; // the central widget's top left on the screen
    QString largePath, smallPath; // a PNG that takes seconds to load, and one that does not

    bool startProgram();
    QString showsFramesOf(const cv::Mat &screen, const DisplayFrames &frames, int kernelSize = 1) const
    {
        return viewsDiffer(screen, central, frames, kernelSize);
    }
    bool click(QPoint inCentralWidget) const { return x.click(central + inCentralWidget); }
    cv::Mat viewOnScreen(const cv::Mat &screen, const char *name) const { return ::viewOnScreen(screen, central, name); }
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

    // The window never loads a decoder: pictures are decoded in a process of their own.
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
    QVERIFY(!decodersLoaded());
    cv::Mat screen = x.screenshot();
    const QString difference = viewsDiffer(screen, central, expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // The spin box's arrows: up twice, then down once.
    const struct { QPoint arrow; int size; } steps[] = {{spinBoxUpArrow, 3}, {spinBoxUpArrow, 5}, {spinBoxDownArrow, 3}};
    for (const auto &step : steps) {
        QVERIFY(click(step.arrow));
        const cv::Mat blurred = literalReblur(expected.rgb, step.size);
        QVERIFY2(x.waitForScreen([&](const cv::Mat &now) {
                     return differingSamples(viewOnScreen(now, "gaussian"), blurred) == 0;
                 }),
                 qPrintable(QStringLiteral("no blur with kernel size %1").arg(step.size)));
    }
    if (!qEnvironmentVariableIsEmpty("VIREOSCOPE_SCREENSHOT")) {
        QVERIFY(click(spinBoxUpArrow) && click(spinBoxUpArrow) && click(spinBoxUpArrow)); // a clearly visible blur
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

void TestRealWindow::startsWithTheFileItIsGiven_data()
{
    QTest::addColumn<bool>("asUrl");
    QTest::newRow("path") << false;
    QTest::newRow("file:// URL") << true;
}

void TestRealWindow::startsWithTheFileItIsGiven()
{
    QFETCH(bool, asUrl);
    const QString picturePath = folder.filePath(QStringLiteral("start 起動 %1.jpg").arg(asUrl));
    QVERIFY(writePicture(picturePath, asUrl ? landscape(700, 500) : landscape(640, 480)));
    // A launcher's URL: spaces and the Chinese characters percent-escaped.
    const QString argument = asUrl ? QString::fromLatin1(QUrl::fromLocalFile(picturePath).toEncoded()) : picturePath;
    QVERIFY(argument.contains(asUrl ? QStringLiteral("%20%E8%B5%B7") : QStringLiteral(" 起")));

    QProcess started;
    const auto stop = qScopeGuard([&] { started.kill(); started.waitForFinished(); });
    started.setProcessEnvironment(x.environment());
    started.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {argument});
    QVERIFY(started.waitForStarted());
    const QString difference = windowShows(x, picturePath);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(x.requestClose(x.waitForWindow(QStringLiteral("Vireoscope"))));
    QVERIFY(started.waitForFinished(10000));
    QCOMPARE(started.exitCode(), 0);
    QCOMPARE(started.readAllStandardOutput(), QByteArray());
}

void TestRealWindow::screenReaderReadsNamesAndStatus()
{
    // A session bus of our own, from which the accessibility bus is started as a desktop does.
    QProcess bus;
    QProcessEnvironment env = x.environment();
    bus.setProcessEnvironment(env);
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--print-address=1")});
    QVERIFY(bus.waitForStarted());
    QVERIFY(bus.waitForReadyRead(10000));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLatin1(bus.readLine().trimmed()));
    env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    const auto stopBus = qScopeGuard([&] { bus.terminate(); bus.waitForFinished(5000); });

    QTemporaryDir walk;
    QVERIFY(writePicture(walk.filePath(QStringLiteral("a.png")), landscape(300, 200)));
    QVERIFY(writeBytes(walk.filePath(QStringLiteral("b.png")), QByteArray("not a picture")));
    QProcess started;
    const auto stop = qScopeGuard([&] { started.kill(); started.waitForFinished(); });
    started.setProcessEnvironment(env);
    started.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {walk.filePath(QStringLiteral("a.png"))});
    QVERIFY(started.waitForStarted());
    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"), 10000, true);
    QVERIFY(window);

    // What a screen reader reads: each object's role and name, once it shows what is expected
    // (the load runs beside the window) or the time is up.
    const auto read = [&](const QString &expected) {
        QStringList tree;
        for (QDeadlineTimer deadline(30000); !tree.contains(expected) && !deadline.hasExpired();) {
            QProcess reader;
            reader.setProcessEnvironment(env);
            reader.start(QStringLiteral("/usr/bin/python3"), // Debian's, which sees python3-pyatspi
                          {QStringLiteral(VIREOSCOPE_SOURCE_DIR "/tests/support/atspi_tree.py"),
                                                     QStringLiteral("vireoscope")});
            reader.waitForFinished(30000);
            tree = QString::fromUtf8(reader.readAllStandardOutput()).split(QLatin1Char('\n'));
        }
        return tree;
    };
    QStringList tree = read(QStringLiteral("status bar\ta.png — 300 × 200"));
    for (const char *caption : {"原圖", "灰階", "Gaussian blur filter", "sobel filter", "laplacian filter", "灰階(平均)"})
        QVERIFY2(tree.contains(QStringLiteral("filler\t") + QString::fromUtf8(caption)), qPrintable(tree.join(QLatin1Char('\n'))));
    QVERIFY2(tree.contains(QStringLiteral("spin button\t size")), qPrintable(tree.join(QLatin1Char('\n'))));
    QVERIFY2(tree.contains(QStringLiteral("status bar\ta.png — 300 × 200")), qPrintable(tree.join(QLatin1Char('\n'))));

    // Page Down reaches the next file, which does not decode.
    QVERIFY(x.xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)}));
    QVERIFY(x.xdotool({QStringLiteral("key"), QStringLiteral("Next")}));
    QVERIFY(started.waitForReadyRead(10000));
    QCOMPARE(started.readLine(), QByteArray("reading fail\n"));
    tree = read(QStringLiteral("status bar\treading fail: b.png"));
    QVERIFY2(tree.contains(QStringLiteral("status bar\treading fail: b.png")), qPrintable(tree.join(QLatin1Char('\n'))));

    QVERIFY(x.requestClose(window));
    QVERIFY(started.waitForFinished(10000));
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
    QVERIFY(click(spinBoxUpArrow));
    const cv::Mat smallBlurred = literalReblur(small.rgb, 3);
    QVERIFY(x.waitForScreen([&](const cv::Mat &screen) {
        return differingSamples(viewOnScreen(screen, "gaussian"), smallBlurred) == 0;
    }));
    QVERIFY2(differingSamples(viewOnScreen(x.screenshot(), "origin"), asShown(small.rgb)) == 0,
             "the load was over before the window could be tried");

    // Its process holds its error pipe (as its standard descriptors), its channel and the picture,
    // nothing else. Stopped and continued, as from a terminal, it goes on.
    const qint64 decoding = processHolding(largePath);
    QVERIFY2(decoding, "no decoder opened the picture");
    const QStringList held = descriptorsOf(decoding);
    const QString errors = held.value(0).section(' ', 1), channel = held.value(3).section(' ', 1);
    QStringList expected = {"0 " + errors, "1 " + errors, "2 " + errors, "3 " + channel};
    for (const QString &picture : held.mid(4))
        expected << picture.section(' ', 0, 0) + ' ' + largePath;
    QVERIFY2(held == expected && errors.startsWith("pipe:") && channel.startsWith("pipe:") && errors != channel
             && held.size() > 4, qPrintable(held.join(", ")));
    QCOMPARE(kill(pid_t(decoding), SIGSTOP), 0);
    QThread::msleep(300);
    QCOMPARE(kill(pid_t(decoding), SIGCONT), 0);

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

void TestRealWindow::killedDecoderFailsOnlyItsLoad()
{
    QVERIFY2(startProgram(), "the window did not show its empty views");
    QVERIFY(openThroughFileDialog(x, central, largePath));
    const qint64 decoder = processHolding(largePath);
    QVERIFY2(decoder, "no decoder opened the picture");
    // Every thread of it is shut in: the decoding one, and those it started or had waiting.
    const auto threadsShutIn = [decoder] {
        const QFileInfoList threads = QDir(QStringLiteral("/proc/%1/task").arg(decoder)).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QFileInfo &thread : threads) {
            QFile status(thread.filePath() + QStringLiteral("/status"));
            if (!status.open(QIODevice::ReadOnly) || !status.readAll().contains("\nSeccomp:\t2\n"))
                return -1;
        }
        return int(threads.size());
    };
    QTRY_VERIFY_WITH_TIMEOUT(threadsShutIn() >= 2, 10000);
    QCOMPARE(kill(pid_t(decoder), SIGKILL), 0);
    QVERIFY(program.waitForReadyRead(20000));
    QCOMPARE(program.readLine(), QByteArray("reading fail\n"));

    QVERIFY(openThroughFileDialog(x, central, smallPath));
    const DisplayFrames small = literalDisplayFrames(cv::imread(smallPath.toStdString(), cv::IMREAD_COLOR));
    QVERIFY(x.waitForScreen([&](const cv::Mat &screen) { return showsFramesOf(screen, small).isEmpty(); }));
    QCOMPARE(program.state(), QProcess::Running);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--shows") == 0) {
        const QString difference = windowShows(XSession(qEnvironmentVariable("DISPLAY")), QString::fromLocal8Bit(argv[2]));
        if (!difference.isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(difference));
        return difference.isEmpty() ? 0 : 1;
    }
    TestRealWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_real_window.moc"
