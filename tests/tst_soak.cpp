// A long session: 200 loads of assorted pictures and 10,000 changes of the kernel size (odd,
// even, out of order, some before the first picture). Memory stays flat and every view still
// shows what it should. Then the same in the real program on an X server, where the file dialog
// is Qt's own: pictures typed into the real dialog and the blur stepped from the keyboard.
#include <QGraphicsView>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "mainwindow.h"
#include "pictures.h"
#include "resident.h"
#include "shown.h"
#include "xsession.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void longSessionStaysFlat();
    void realWindowStaysFlat();
};

void TestSoak::longSessionStaysFlat()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QStringList names = {QStringLiteral("a.jpg"), QStringLiteral("b.png"), QStringLiteral("c.bmp"),
                               QStringLiteral("d.tiff"), QStringLiteral("e.webp")};
    const cv::Size sizes[] = {{800, 600}, {300, 500}, {64, 64}, {1500, 40}, {333, 222}};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(writePicture(folder.filePath(names[i]), photographLike(sizes[i].width, sizes[i].height, 50 + i)));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *spinBox = window.findChild<QSpinBox *>(QStringLiteral("spinBox"));

    cv::RNG random(7);
    int changes = 0;
    const auto changeKernelSize = [&] {
        spinBox->setValue(random.uniform(1, 36)); // odd and even, in any order
        ++changes;
    };
    const auto loadPicture = [&](const QString &name) { return loadThroughDialog(&window, folder.filePath(name)); };

    for (int i = 0; i < 50; ++i)
        changeKernelSize();
    QVERIFY(!window.findChild<QGraphicsView *>(QStringLiteral("gaussian"))->scene());

    // The first cycle sets up whatever the libraries keep for good (fonts, caches, thread pools).
    for (const QString &name : names) {
        QCOMPARE(loadPicture(name), std::string());
        for (int i = 0; i < 50; ++i)
            changeKernelSize();
    }
    const long long settled = residentBytes();

    for (int loads = names.size(); loads < 200; ++loads) {
        QCOMPARE(loadPicture(names[loads % names.size()]), std::string());
        for (int i = 0; i < 50; ++i)
            changeKernelSize();
    }
    const long long grown = residentBytes() - settled;
    qInfo("%d changes of the kernel size; resident memory after the first cycle %.1f MiB, grown since by %.2f MiB",
          changes, settled / 1048576.0, grown / 1048576.0);
    QVERIFY(changes >= 10000);
#ifndef UNDER_ADDRESS_SANITIZER // its quarantine holds freed memory on purpose
    QVERIFY2(grown <= 5 * 1048576LL, "resident memory grew by more than 5 MiB");
#endif

    // The last picture loaded is on screen, and the Gaussian view follows the spin box.
    const cv::Mat decoded = cv::imread(folder.filePath(names[199 % names.size()]).toStdString(), cv::IMREAD_COLOR);
    const DisplayFrames expected = literalDisplayFrames(decoded);
    const struct { const char *view; cv::Mat frame; } views[] = {
        {"origin", expected.rgb}, {"gray", expected.gray}, {"sobel", expected.sobel},
        {"laplacian", expected.laplace}, {"average", expected.average},
    };
    for (const auto &view : views)
        QCOMPARE(differingSamples(shownPicture(window.findChild<QGraphicsView *>(view.view)), asShown(view.frame)), 0LL);
    const int size = spinBox->value() | 1;
    QCOMPARE(differingSamples(shownPicture(window.findChild<QGraphicsView *>(QStringLiteral("gaussian"))),
                              literalReblur(expected.rgb, size)),
             0LL);
    for (const char *name : {"origin", "gray", "gaussian", "sobel", "laplacian", "average"})
        QCOMPARE(window.findChild<QGraphicsView *>(name)->findChildren<QGraphicsScene *>().size(), 1);
}

void TestSoak::realWindowStaysFlat()
{
#ifdef UNDER_ADDRESS_SANITIZER
    QSKIP("the sanitizer's quarantine holds freed memory on purpose, so growth means nothing here");
#endif
    // The test command's run; scripts/soak.sh runs the long one.
    const bool longRun = qEnvironmentVariableIsSet("VIREOSCOPE_LONG_SOAK");
    const int warmUpLoads = longRun ? 50 : 20;
    const int loads = longRun ? 500 : 100;
    const int stepCycles = 295; // 34 steps each: up to 35 and down to 1 again, over 10,000 steps

    // Short names in the folder the program starts in, so that little is typed; the dialog's
    // settings in a folder of their own, so that what other runs left there cannot send it elsewhere.
    QTemporaryDir folder, settings;
    QVERIFY(folder.isValid() && settings.isValid());
    const QStringList names = {QStringLiteral("a.jpg"), QStringLiteral("b.png"), QStringLiteral("c.jpeg")};
    const cv::Size sizes[] = {{1600, 1200}, {640, 480}, {200, 150}};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(writePicture(folder.filePath(names[i]), photographLike(sizes[i].width, sizes[i].height, 70 + i)));

    XSession x;
    QVERIFY2(x.isRunning(), "Xvfb did not start");
    QProcess program;
    QProcessEnvironment environment = x.environment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), settings.path());
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(folder.path());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {});
    QVERIFY(program.waitForStarted());
    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"));
    QVERIFY2(window, "no window titled Vireoscope appeared");
    const std::optional<QPoint> central = centralWidgetOnScreen(x, window);
    QVERIFY2(central, "the window did not show its empty views");

    const auto viewOnScreen = [&](QPoint topLeft) {
        const cv::Mat screen = x.screenshot();
        const QPoint at = *central + topLeft;
        return screen(cv::Rect(at.x(), at.y(), 256, 192) & cv::Rect(0, 0, screen.cols, screen.rows)).clone();
    };
    int loaded = 0;
    cv::Mat shown; // the last picture loaded, as the origin view shows it
    // Loads the pictures in turn and waits until the last one is on screen.
    const auto loadPictures = [&](int count) {
        for (int i = 0; i < count; ++i, ++loaded)
            if (!openThroughFileDialog(x, *central, names[loaded % names.size()]))
                return false;
        const QString last = folder.filePath(names[(loaded - 1) % names.size()]);
        shown = literalDisplayFrames(cv::imread(last.toStdString(), cv::IMREAD_COLOR)).rgb;
        return x.waitForScreen([&](const cv::Mat &) { return differingSamples(viewOnScreen({10, 40}), shown) == 0; });
    };
    int size = 1, steps = 0;
    // With the arrow keys, steps the kernel size down to 1, then up to 35 and down to 1 again as
    // often as asked, and up to `last`; waits until the Gaussian view shows that blur.
    const auto stepKernelSize = [&](int cycles, int last) {
        if (!x.xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)})
            || !x.waitForFreePointer() || !x.click(*central + QPoint(130 + 12, 470 + 12))) // the spin box's text
            return false;
        // Qt takes a key pressed again at the very millisecond it was let go for the keyboard's own
        // repeat, which a spin box answers with steps of its own timer, and a busy X server stamps
        // keys sent a millisecond apart alike: every other press is the keypad's arrow instead.
        QStringList keys;
        const auto press = [&](const QString &key, int times) {
            for (int i = 0; i < times; ++i)
                keys << (keys.size() % 2 ? QStringLiteral("KP_") + key : key);
            steps += times;
        };
        press(QStringLiteral("Down"), (size - 1) / 2);
        for (int cycle = 0; cycle < cycles; ++cycle) {
            press(QStringLiteral("Up"), 17);
            press(QStringLiteral("Down"), 17);
        }
        press(QStringLiteral("Up"), (last - 1) / 2);
        size = last;
        for (int from = 0; from < keys.size(); from += 340)
            if (!x.xdotool(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("1")}
                           + keys.mid(from, 340)))
                return false;
        const cv::Mat blurred = literalReblur(shown, last);
        return x.waitForScreen([&](const cv::Mat &) { return differingSamples(viewOnScreen({10, 270}), blurred) == 0; },
                               60000);
    };
    const auto resident = [&] { return residentBytesOf(program.processId()); };

    // The first round fills what the libraries keep for good (fonts, caches, the decoders).
    QVERIFY(loadPictures(warmUpLoads / 2));
    QVERIFY(stepKernelSize(10, 7));
    QVERIFY(loadPictures(warmUpLoads - warmUpLoads / 2));
    const long long settled = resident();
    QVERIFY(loadPictures(loads));
    const long long afterLoads = resident();
    QVERIFY(stepKernelSize(10, 9));
    const long long beforeSteps = resident();
    const int stepsBefore = steps;
    QVERIFY(stepKernelSize(stepCycles, 7));
    const long long afterSteps = resident();
    const double perLoad = double(afterLoads - settled) / loads;
    qInfo("resident memory after %d warm-up loads: %.1f MiB", warmUpLoads, settled / 1048576.0);
    qInfo("%d further loads through the dialog: %+.2f MiB, %+.1f kB per load", loads,
          (afterLoads - settled) / 1048576.0, perLoad / 1024);
    qInfo("%d steps of the kernel size: %+.2f MiB", steps - stepsBefore, (afterSteps - beforeSteps) / 1048576.0);
    QVERIFY(steps - stepsBefore >= 10000);
    QVERIFY2(perLoad <= 4096, "resident memory grew by more than 4 kB per load");
    QVERIFY2(afterSteps - beforeSteps <= 1048576, "resident memory grew by more than 1 MiB over the steps");

    QVERIFY(x.requestClose(window));
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), QByteArray()); // every picture loaded
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
