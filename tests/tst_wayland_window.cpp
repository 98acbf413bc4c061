// The real program natively on a Wayland compositor of its own, a headless weston: started with
// a picture it shows the six views exactly, and it ends with exit code 0 when its window is closed.
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "literal_pipeline.h"
#include "pictures.h"
#include "shown.h"
#include "waylandsession.h"

class TestWaylandWindow : public QObject
{
    Q_OBJECT

private slots:
    void closesWithExitCodeZero_data();
    void closesWithExitCodeZero();
};

void TestWaylandWindow::closesWithExitCodeZero_data()
{
    QTest::addColumn<bool>("withPicture");
    QTest::newRow("started with no picture") << false;
    QTest::newRow("started with a picture shows the six views exactly") << true;
}

void TestWaylandWindow::closesWithExitCodeZero()
{
    QFETCH(bool, withPicture);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    WaylandSession wayland;
    QVERIFY2(wayland.isRunning(), "weston did not start");

    const QString picturePath = folder.filePath(QStringLiteral("holiday photo 照片.png"));
    QVERIFY(writePicture(picturePath, landscape(900, 600)));
    const DisplayFrames expected = literalDisplayFrames(cv::imread(picturePath.toStdString(), cv::IMREAD_COLOR));

    QProcess program;
    program.setProcessEnvironment(wayland.environment());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), withPicture ? QStringList{picturePath} : QStringList());
    QVERIFY(program.waitForStarted());

    // The window goes wherever the compositor puts it: found by what its views show, the picture's
    // six frames or six empty white views.
    const cv::Mat white(displaySize, CV_8UC3, cv::Scalar::all(255));
    const DisplayFrames shown = withPicture ? expected : DisplayFrames{white, white, white, white, white, white};
    QPoint central;
    QVERIFY2(wayland.waitForScreen([&](const cv::Mat &screen) {
                 const std::optional<QPoint> found = centralWidgetShowing(screen, asShown(shown.rgb));
                 if (found)
                     central = *found;
                 return found && !firstViewDiffering(screen, central, shown);
             }),
             withPicture ? "the window did not show the picture's six views" : "the window did not show its empty views");

    if (withPicture && !qEnvironmentVariableIsEmpty("VIREOSCOPE_SCREENSHOT")) {
        // The window's inside; the title bar Qt draws is left out, as on X.
        cv::Mat shot = wayland.screenshot();
        const cv::Rect inside(central.x(), central.y(), 800, 600);
        QVERIFY((inside & cv::Rect(0, 0, shot.cols, shot.rows)) == inside);
        cv::cvtColor(shot(inside), shot, cv::COLOR_RGB2BGR);
        QVERIFY(cv::imwrite(qEnvironmentVariable("VIREOSCOPE_SCREENSHOT").toStdString(), shot));
    }

    QVERIFY(wayland.requestClose());
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(TestWaylandWindow)
#include "tst_wayland_window.moc"
