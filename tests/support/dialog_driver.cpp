#include "dialog_driver.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <iostream>

void answerNextFileDialog(const QString &path, SeenFileDialog *seen)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    const QDeadlineTimer deadline(10000);
    QObject::connect(poll, &QTimer::timeout, [poll, path, seen, deadline] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog && !deadline.hasExpired())
            return;
        poll->stop();
        poll->deleteLater();
        if (!dialog)
            return;
        if (seen)
            *seen = {dialog->windowTitle(), dialog->nameFilters()};
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
}

std::string loadThroughDialog(QWidget *window, const QString &path, SeenFileDialog *seen)
{
    StandardOutputCapture output;
    answerNextFileDialog(path, seen);
    QTest::mouseClick(window->findChild<QWidget *>(QStringLiteral("load")), Qt::LeftButton);
    return output.text();
}

StandardOutputCapture::StandardOutputCapture()
    : previous(std::cout.rdbuf(captured.rdbuf()))
{
}

StandardOutputCapture::~StandardOutputCapture()
{
    std::cout.rdbuf(previous);
}
