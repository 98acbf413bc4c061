#include "benchmarks.h"
#include "timing.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "pictures.h"
#include "shown.h"
#include "xsession.h"

namespace {

// From exec until the window with this title is mapped on the X server, in seconds.
double secondsToWindow(const XSession &x, const QString &program, const QString &title,
                       const QStringList &arguments = {})
{
    QProcess process;
    process.setProcessEnvironment(x.environment());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    const bool shown = x.waitForWindow(title, 20000, true) != 0;
    const double seconds = clock.nsecsElapsed() / 1e9;
    process.kill();
    process.waitForFinished();
    return shown ? seconds : -1;
}

} // namespace

void benchStartup()
{
    XSession x;
    if (!x.isRunning()) {
        std::printf("startup: Xvfb did not start\n");
        return;
    }
    std::vector<double> formOnly, vireoscope;
    for (int round = 0; round < 15; ++round) {
        formOnly.push_back(secondsToWindow(x, QStringLiteral(FORM_ONLY_EXECUTABLE), QStringLiteral("Form only")));
        vireoscope.push_back(secondsToWindow(x, QStringLiteral(VIREOSCOPE_EXECUTABLE), QStringLiteral("Vireoscope")));
    }
    const double formOnlySeconds = median(formOnly);
    const double vireoscopeSeconds = median(vireoscope);
    std::printf("start-up to the main window shown (xcb on Xvfb): the form alone in a plain Qt program %.1f ms, "
                "vireoscope %.1f ms\n",
                formOnlySeconds * 1e3, vireoscopeSeconds * 1e3);
    std::printf("startup_vs_form_only: %.3f\n", vireoscopeSeconds / formOnlySeconds);
}

void benchFirstLoad()
{
    XSession x;
    QTemporaryDir folder;
    if (!x.isRunning() || !folder.isValid()) {
        std::printf("first load: Xvfb did not start\n");
        return;
    }
    // Two different photographs, so that each load changes what the origin view shows.
    QString paths[2];
    cv::Mat origins[2];
    for (int i = 0; i < 2; ++i) {
        paths[i] = folder.filePath(QStringLiteral("p%1.jpg").arg(i));
        writePicture(paths[i], photographLike(6000, 4000, 40 + i));
        origins[i] = asShown(literalDisplayFrames(cv::imread(paths[i].toStdString(), cv::IMREAD_COLOR)).rgb);
    }
    x.bindKeysFor(paths[0] + paths[1]);

    // From the Return that accepts the dialog until the origin view shows the picture.
    const auto timedLoad = [&](QPoint central, int picture) {
        QElapsedTimer sinceReturn;
        if (!openThroughFileDialog(x, central, paths[picture], &sinceReturn))
            return -1.0;
        const cv::Rect origin(central.x() + 10, central.y() + 40, 256, 192);
        while (sinceReturn.elapsed() < 20000)
            if (differingSamples(x.screenshot()(origin), origins[picture]) == 0)
                return sinceReturn.nsecsElapsed() / 1e9;
        return -1.0;
    };

    std::vector<double> first, later;
    for (int round = 0; round < 5; ++round) {
        QProcess program;
        program.setProcessEnvironment(x.environment());
        program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {});
        const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"), 20000, true);
        const std::optional<QPoint> central = window ? centralWidgetOnScreen(x, window) : std::nullopt;
        if (central) {
            first.push_back(timedLoad(*central, 0));
            for (int load = 1; load < 5; ++load)
                later.push_back(timedLoad(*central, load % 2));
        }
        program.kill();
        program.waitForFinished();
    }
    if (first.empty() || std::count(first.begin(), first.end(), -1.0) || std::count(later.begin(), later.end(), -1.0)) {
        std::printf("first load: a load through the real window did not show its picture\n");
        return;
    }
    std::printf("load of a 6000x4000 JPEG in the real window (xcb on Xvfb), from Return in the dialog to the "
                "picture on screen: first in a new process %.1f ms, later ones %.1f ms\n",
                median(first) * 1e3, median(later) * 1e3);
    std::printf("first_load_vs_later: %.3f\n", median(first) / median(later));
}
