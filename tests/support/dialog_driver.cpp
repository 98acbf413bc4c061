#include "dialog_driver.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <iostream>

#include "picture_loader.h"

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

StandardOutputCapture::StandardOutputCapture()
    : previous(std::cout.rdbuf(captured.rdbuf()))
{
}

StandardOutputCapture::~StandardOutputCapture()
{
    std::cout.rdbuf(previous);
}
