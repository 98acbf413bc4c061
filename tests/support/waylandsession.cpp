#include "waylandsession.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <csignal>

namespace {
const QString socketName = QStringLiteral("wayland-vireoscope");
}

WaylandSession::WaylandSession()
{
    if (!runtimeDirectory.isValid() || !shots.isValid())
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory.path());
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    compositor.setProcessEnvironment(env);
    // Pixman draws the output in memory: without a renderer, screenshots never finish. --debug lets
    // any client take screenshots; the module lets the test close windows; --idle-time=0 keeps the
    // output from blanking.
    compositor.start(QStringLiteral("weston"),
                     {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--use-pixman"),
                      QStringLiteral("--width=1024"), QStringLiteral("--height=768"),
                      QStringLiteral("--socket=") + socketName, QStringLiteral("--idle-time=0"),
                      QStringLiteral("--debug"), QStringLiteral("--modules=" VIREOSCOPE_WESTON_CLOSER),
                      QStringLiteral("--log=") + runtimeDirectory.filePath(QStringLiteral("weston.log"))});
    if (!compositor.waitForStarted(10000))
        return;
    const QString socket = runtimeDirectory.filePath(socketName);
    QDeadlineTimer deadline(15000);
    while (!QFileInfo::exists(socket) && compositor.state() == QProcess::Running && !deadline.hasExpired())
        QThread::msleep(20);
    running = QFileInfo::exists(socket) && compositor.state() == QProcess::Running;
}

WaylandSession::~WaylandSession()
{
    if (compositor.state() == QProcess::NotRunning)
        return;
    compositor.terminate();
    if (!compositor.waitForFinished(5000))
        compositor.kill();
    compositor.waitForFinished(5000);
}

QProcessEnvironment WaylandSession::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory.path());
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), socketName);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.remove(QStringLiteral("DISPLAY")); // nothing falls back to an X server unnoticed
    return env;
}

cv::Mat WaylandSession::screenshot() const
{
    // weston-screenshooter writes wayland-screenshot-<time>.png into its working directory.
    QProcess shooter;
    shooter.setProcessEnvironment(environment());
    shooter.setWorkingDirectory(shots.path());
    shooter.start(QStringLiteral("weston-screenshooter"), {});
    const bool shot = shooter.waitForFinished(10000) && shooter.exitStatus() == QProcess::NormalExit
                      && shooter.exitCode() == 0;
    if (shooter.state() != QProcess::NotRunning) {
        shooter.kill();
        shooter.waitForFinished();
    }
    cv::Mat rgb;
    QDir folder(shots.path());
    for (const QString &name : folder.entryList(QDir::Files)) {
        if (shot && rgb.empty()) {
            const cv::Mat bgr = cv::imread(folder.filePath(name).toStdString(), cv::IMREAD_COLOR);
            if (!bgr.empty())
                cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        }
        folder.remove(name);
    }
    return rgb;
}

bool WaylandSession::waitForScreen(const std::function<bool(const cv::Mat &)> &condition, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        const cv::Mat screen = screenshot();
        if (!screen.empty() && condition(screen))
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool WaylandSession::requestClose() const
{
    return running && ::kill(static_cast<pid_t>(compositor.processId()), SIGUSR2) == 0;
}
