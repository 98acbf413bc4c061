// The real program in its window on an X server, driven with the mouse and keyboard (X11 only).
#include "dialog_driver.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>

#include <QFile>

#include <opencv2/imgcodecs.hpp>

#include "literal_pipeline.h"
#include "shown.h"
#include "xsession.h"

std::optional<QPoint> centralWidgetOnScreen(const XSession &x, unsigned long window, int timeoutMs)
{
    // The empty views are white on the window's gray; the first white row below the window's
    // top edge, over the first view (40 pixels into the central widget), tells where it begins.
    std::optional<QPoint> central;
    x.waitForScreen([&](const cv::Mat &screen) {
        const QRect frame = x.geometryOf(window);
        if (frame.width() != 800 || frame.height() != 600)
            return false;
        for (int row = frame.top(); row < frame.top() + 100; ++row) {
            if (screen.at<cv::Vec3b>(row, frame.left() + 10 + 128) == cv::Vec3b(255, 255, 255)) {
                central = QPoint(frame.left(), row - 40);
                return true;
            }
        }
        return false;
    }, timeoutMs);
    return central;
}

bool openThroughFileDialog(const XSession &x, QPoint central, const QString &path, QElapsedTimer *sinceReturn)
{
    // Just after the last dialog closed, its name field's list of completions can still hold the
    // mouse, and would take the click.
    if (!x.waitForFreePointer() || !x.click(central + QPoint(350 + 46, 490 + 14))) // the "load" button
        return false;
    const QString title = QStringLiteral("OpenFile");
    const unsigned long dialog = x.waitForWindow(title, 10000, true);
    if (!dialog)
        return false;
    // With no window manager to hand it the keyboard, give it to the dialog, whose name field
    // has the focus; then type the whole path there and press Return.
    const auto focus = [&](unsigned long window) {
        return x.xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window)});
    };
    QThread::msleep(200);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!focus(dialog) || !x.type(path))
            return false;
        if (sinceReturn)
            sinceReturn->start();
        if (!x.xdotool({QStringLiteral("key"), QStringLiteral("Return")}))
            return false;
        // The dialog closes once it has taken the path.
        QDeadlineTimer deadline(5000);
        while (!x.windowsTitled(title).isEmpty() && !deadline.hasExpired())
            QThread::msleep(50);
        if (x.windowsTitled(title).isEmpty())
            return true;
        // A key press lost on a busy machine leaves a path the dialog answers with "File not
        // found". As a person would: dismiss that, select what was typed, type it again.
        for (const unsigned long window : x.windowsTitled(title))
            if (window != dialog && (!focus(window) || !x.xdotool({QStringLiteral("key"), QStringLiteral("Return")})))
                return false;
        QThread::msleep(200);
        if (!focus(dialog) || !x.xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a")}))
            return false;
    }
    return false;
}

QString viewsDiffer(const cv::Mat &screen, QPoint central, const DisplayFrames &expected, int kernelSize)
{
    const char *differing = firstViewDiffering(screen, central, expected, kernelSize);
    return differing ? QStringLiteral("the %1 view does not show its frame").arg(QLatin1String(differing)) : QString();
}

std::optional<QPoint> centralByPicture(const XSession &x, unsigned long window, const cv::Mat &origin)
{
    std::optional<QPoint> central;
    x.waitForScreen([&](const cv::Mat &screen) {
        // The top half of the window: the Gaussian view below shows the same picture.
        const cv::Rect area = cv::Rect(x.geometryOf(window).x(), x.geometryOf(window).y(), 800, 300)
                              & cv::Rect(0, 0, screen.cols, screen.rows);
        if (const std::optional<QPoint> found = centralWidgetShowing(screen(area), origin))
            central = *found + QPoint(area.x, area.y);
        return central.has_value();
    });
    return central;
}

QString windowShows(const XSession &x, const QString &picture)
{
    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"), 15000);
    if (!window)
        return QStringLiteral("no window titled Vireoscope");
    const DisplayFrames expected = literalDisplayFrames(cv::imread(QFile::encodeName(picture).toStdString(), cv::IMREAD_COLOR));
    const std::optional<QPoint> central = centralByPicture(x, window, asShown(expected.rgb));
    if (!central)
        return QStringLiteral("the picture does not appear in the window");
    QString difference;
    x.waitForScreen([&](const cv::Mat &screen) { // the other views may still be drawn
        difference = viewsDiffer(screen, *central, expected);
        return difference.isEmpty();
    });
    return difference;
}
