#include "benchmarks.h"
#include "timing.h"

#include <QElapsedTimer>
#include <QProcess>

#include <cstdio>

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
    const QString bareWindow = QStringLiteral(BARE_WINDOW_EXECUTABLE);
    std::vector<double> bare, bareWithText, vireoscope;
    for (int round = 0; round < 15; ++round) {
        bare.push_back(secondsToWindow(x, bareWindow, QStringLiteral("Bare")));
        bareWithText.push_back(secondsToWindow(x, bareWindow, QStringLiteral("Bare"), {QStringLiteral("--with-text")}));
        vireoscope.push_back(secondsToWindow(x, QStringLiteral(VIREOSCOPE_EXECUTABLE), QStringLiteral("Vireoscope")));
    }
    const double bareSeconds = median(bare);
    const double bareWithTextSeconds = median(bareWithText);
    const double vireoscopeSeconds = median(vireoscope);
    std::printf("start-up to the main window shown (xcb on Xvfb): bare QMainWindow %.1f ms, the same with one "
                "label %.1f ms, vireoscope %.1f ms\n",
                bareSeconds * 1e3, bareWithTextSeconds * 1e3, vireoscopeSeconds * 1e3);
    std::printf("startup_vs_bare_qt: %.3f\n", vireoscopeSeconds / bareSeconds);
    std::printf("startup_vs_bare_qt_with_text: %.3f\n", vireoscopeSeconds / bareWithTextSeconds);
}
