#include "benchmarks.h"
#include "timing.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <optional>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "pictures.h"
#include "resident.h"
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

namespace {

// The first load in a new process against later ones, of photographs in the format of the extension.
void firstLoadAgainstLater(const char *extension, const char *ratioName)
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
        paths[i] = folder.filePath(QStringLiteral("p%1.%2").arg(i).arg(QLatin1String(extension)));
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
            if (differingSamples(x.screenshot(origin), origins[picture]) == 0)
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
    std::printf("load of a 6000x4000 %s in the real window (xcb on Xvfb), from Return in the dialog to the "
                "picture on screen: first in a new process %.1f ms, later ones %.1f ms\n",
                extension, median(first) * 1e3, median(later) * 1e3);
    std::printf("%s: %.3f\n", ratioName, median(first) / median(later));
}

} // namespace

void benchFirstLoad()
{
    firstLoadAgainstLater("jpg", "first_load_vs_later");
    firstLoadAgainstLater("png", "first_load_vs_later_png");
}

void benchPageDown()
{
    XSession x;
    QTemporaryDir folder;
    if (!x.isRunning() || !folder.isValid()) {
        std::printf("page down: Xvfb did not start\n");
        return;
    }
    // Eight large TIFFs of one folder, each a little brighter than the one before, so that the
    // last one's views tell that the walk is over.
    const cv::Mat photograph = photographLike(6000, 5000, 70);
    QString last;
    for (int i = 0; i < 8; ++i) {
        last = folder.filePath(QStringLiteral("p%1.tif").arg(i));
        if (!writePicture(last, photograph + cv::Scalar::all(3 * i))) {
            std::printf("page down: the pictures could not be written\n");
            return;
        }
    }
    const cv::Mat lastOrigin = asShown(literalDisplayFrames(cv::imread(last.toStdString(), cv::IMREAD_COLOR)).rgb);
    const cv::Mat firstOrigin = asShown(literalDisplayFrames(photograph.clone()).rgb);

    QProcess program;
    program.setProcessEnvironment(x.environment());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {folder.filePath(QStringLiteral("p0.tif"))});
    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"), 20000, true);
    const std::optional<QPoint> central = window ? centralWidgetOnScreen(x, window) : std::nullopt;
    const auto origin = [&](const cv::Mat &screen) { return screen(cv::Rect(central->x() + 10, central->y() + 40, 256, 192)); };
    if (!central || !x.waitForScreen([&](const cv::Mat &screen) { return differingSamples(origin(screen), firstOrigin) == 0; }, 60000)) {
        std::printf("page down: the first picture did not appear\n");
        return;
    }
    QThread::msleep(500); // the next decoder has started and waits
    const long long before = proportionalBytesWithChildren(program.processId());

    // Page Down held: a press every 50 ms, as a keyboard repeats it, while the memory of the
    // program and its decoders is sampled until the last picture is shown.
    std::atomic<bool> walking{true};
    long long peak = before;
    std::thread sampler([&] {
        while (walking) {
            peak = std::max(peak, proportionalBytesWithChildren(program.processId()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    x.xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)});
    x.xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("50"), QStringLiteral("--repeat"),
               QStringLiteral("7"), QStringLiteral("Next")});
    const bool shown = x.waitForScreen([&](const cv::Mat &screen) { return differingSamples(origin(screen), lastOrigin) == 0; }, 120000);
    walking = false;
    sampler.join();
    program.kill();
    program.waitForFinished();
    if (!shown) {
        std::printf("page down: the last picture did not appear\n");
        return;
    }
    const double decoded = 6000.0 * 5000 * 3;
    std::printf("Page Down through eight 6000x5000 TIFFs in the real window (xcb on Xvfb): peak growth of the "
                "program and its decoders %.1f MiB, one decoded picture %.1f MiB\n",
                (peak - before) / 1048576.0, decoded / 1048576.0);
    std::printf("page_down_peak_memory_vs_decoded: %.3f\n", (peak - before) / decoded);
}
