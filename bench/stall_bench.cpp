#include "benchmarks.h"
#include "timing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>

#include "dialog_driver.h"
#include "mainwindow.h"
#include "pictures.h"
#include "xsession.h"

namespace {

const char stallOption[] = "--gui-stall";

struct Stall
{
    double longestGapSeconds;
    double loadSeconds;
};

// Opens the picture through the dialog, and from the moment the dialog has closed (the load
// has begun) until the frames are shown and painted, times the ticks of a 10 ms timer on the
// GUI thread.
Stall stallDuringLoad(MainWindow &window, const QString &path)
{
    QElapsedTimer clock;
    qint64 lastTick = 0, longestGap = 0;
    QTimer ticks;
    ticks.setInterval(10);
    ticks.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    answerNextFileDialog(path);
    QTest::mouseClick(window.findChild<QWidget *>(QStringLiteral("load")), Qt::LeftButton);
    clock.start();
    ticks.start();
    waitForLoad(&window);
    const qint64 loadEnd = clock.nsecsElapsed();
    // The frames are painted in the next rounds of the event loop: a few more ticks take that in.
    QTest::qWait(100);
    ticks.stop();
    return {longestGap / 1e9, loadEnd / 1e9};
}

void measure(MainWindow &window, const char *name, const char *what, const QString &path, int rounds)
{
    std::vector<double> ratios, gaps, loads;
    for (int round = 0; round < rounds; ++round) {
        const Stall stall = stallDuringLoad(window, path);
        ratios.push_back(stall.longestGapSeconds / stall.loadSeconds);
        gaps.push_back(stall.longestGapSeconds);
        loads.push_back(stall.loadSeconds);
    }
    std::printf("GUI thread during the load of %s in the real window (xcb on Xvfb): load %.1f ms, "
                "longest gap between two ticks of a 10 ms timer %.1f ms\n",
                what, median(loads) * 1e3, median(gaps) * 1e3);
    std::printf("%s: %.3f\n", name, median(ratios));
    std::fflush(stdout);
}

} // namespace

bool isGuiStallRun(int argc, char *argv[])
{
    return argc == 4 && qstrcmp(argv[1], stallOption) == 0;
}

// In a process of its own on the X server: the program's window, and its loads timed from the
// GUI thread.
int runGuiStall(char *argv[])
{
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::printf("gui stall: the window was not shown\n");
        return 1;
    }
    QTemporaryDir folder;
    const QString warmUp = folder.filePath(QStringLiteral("warm-up.png"));
    writePicture(warmUp, photographLike(640, 480, 60));
    loadThroughDialog(&window, warmUp);
    measure(window, "gui_stall_during_load_vs_load", "an 8000x8000 PNG", QString::fromLocal8Bit(argv[2]), 3);
    measure(window, "gui_stall_during_load_vs_load_jpeg", "a 12000x9000 JPEG", QString::fromLocal8Bit(argv[3]), 5);
    return 0;
}

void benchGuiStall()
{
    XSession x;
    QTemporaryDir folder;
    if (!x.isRunning() || !folder.isValid()) {
        std::printf("gui stall: Xvfb did not start\n");
        return;
    }
    const QString png = folder.filePath(QStringLiteral("64-megapixels.png"));
    const QString jpeg = folder.filePath(QStringLiteral("108-megapixels.jpg"));
    if (!writePicture(png, photographLike(8000, 8000, 61)) || !writePicture(jpeg, photographLike(12000, 9000, 62))) {
        std::printf("gui stall: the pictures could not be written\n");
        return;
    }
    // The window on the X server needs an application on the xcb platform: a process of its own.
    std::fflush(stdout);
    QProcess stall;
    stall.setProcessEnvironment(x.environment());
    stall.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    stall.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(stallOption), png, jpeg});
    if (!stall.waitForFinished(-1) || stall.exitCode() != 0)
        std::printf("gui stall: the measuring process failed\n");
}
