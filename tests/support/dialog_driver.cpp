#include "dialog_driver.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <iostream>

#include "picture_loader.h"
#include "xsession.h"

std::shared_ptr<const SeenFileDialog> answerNextFileDialog(const QString &path)
{
    auto seen = std::make_shared<SeenFileDialog>();
    auto *poll = new QTimer;
    poll->setInterval(10);
    const QDeadlineTimer deadline(10000);
    QObject::connect(poll, &QTimer::timeout, [poll, path, seen, deadline] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog && !deadline.hasExpired() && seen.use_count() > 1)
            return;
        poll->stop();
        poll->deleteLater();
        if (!dialog)
            return;
        *seen = {true, dialog->windowTitle(), dialog->nameFilters()};
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // As a person would: type the whole path into the name field (selectFile() leaves a
        // focused field alone), then accept. QFileDialog::accept() is protected; QDialog's is
        // the same virtual call.
        if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            name->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    poll->start();
    return seen;
}

std::string loadThroughDialog(QWidget *window, const QString &path, SeenFileDialog *seen)
{
    StandardOutputCapture output;
    const std::shared_ptr<const SeenFileDialog> answer = answerNextFileDialog(path);
    // The dialog is modal: the click returns once it has been answered, if it opened at all.
    QTest::mouseClick(window->findChild<QWidget *>(QStringLiteral("load")), Qt::LeftButton);
    waitForLoad(window);
    if (seen)
        *seen = *answer;
    return output.text();
}

bool waitForLoad(QWidget *window, int timeoutMs)
{
    auto *loader = window->findChild<PictureLoader *>();
    if (!loader)
        return false;
    if (!loader->isLoading())
        return true;
    // The window shows the frames, or says it failed, from these signals: once they have been
    // handled (the window connected first), the load is over.
    QEventLoop loop;
    QObject::connect(loader, &PictureLoader::loaded, &loop, &QEventLoop::quit);
    QObject::connect(loader, &PictureLoader::failed, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return !loader->isLoading();
}

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

StandardOutputCapture::StandardOutputCapture()
    : previous(std::cout.rdbuf(captured.rdbuf()))
{
}

StandardOutputCapture::~StandardOutputCapture()
{
    std::cout.rdbuf(previous);
}
