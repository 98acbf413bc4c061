#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QPixmapCache>

#include <iostream>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "display_frames.h"
#include "frame_display.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindow)
{
    form->setupUi(this);
    form->spinBox->setSingleStep(2);
    setWindowTitle(QStringLiteral("Vireoscope"));
}

MainWindow::~MainWindow()
{
    delete form;
}

void MainWindow::on_load_clicked()
{
    const QString filter = tr("Image (*.jpg *.png *.HEIC *.txt *.jpeg)");
    const QString caption = tr("OpenFile");
    // Every dialog makes its icons anew, so what it draws of them would pile up in the pixmap
    // cache (up to 10 MiB), whose keys Qt 6.4 keeps even once it drops the pixmaps: the cache
    // takes nothing while the dialog is open.
    const int cacheLimit = QPixmapCache::cacheLimit();
    QPixmapCache::setCacheLimit(0);
    imagePath = QFileDialog::getOpenFileName(this, caption, QString(""), filter);
    QPixmapCache::setCacheLimit(cacheLimit);
    if (imagePath.isEmpty())
        return;

    // All six frames are made before any is shown, so a failure changes nothing on screen.
    // The largest pictures take seconds: the wait cursor says so meanwhile.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const std::optional<DisplayFrames> frames = loadDisplayFrames(imagePath);
    QApplication::restoreOverrideCursor();
    if (!frames) {
        std::cout << "reading fail" << std::endl;
        return;
    }
    displayFrame(frames->rgb, QImage::Format_RGB888, form->origin);
    displayFrame(frames->gray, QImage::Format_Indexed8, form->gray);
    colorFrame = frames->rgb;
    displayFrame(frames->gauss, QImage::Format_RGB888, form->gaussian);
    displayFrame(frames->sobel, QImage::Format_Indexed8, form->sobel);
    displayFrame(frames->laplace, QImage::Format_Indexed8, form->laplacian);
    displayFrame(frames->average, QImage::Format_RGB888, form->average);
#ifdef __GLIBC__
    // Freeing a decoded picture raises glibc's threshold for mapping large blocks up to its size,
    // so the next loads' large blocks come from the heap and are freed between blocks still in
    // use, where the heap does not shrink: hand those pages back.
    malloc_trim(0);
#endif
}

void MainWindow::on_spinBox_valueChanged(int arg1)
{
    // Before the first picture there is nothing to blur; a failed blur leaves the view as it was.
    cv::Mat blurred;
    try {
        blurred = reblurredFrame(colorFrame, arg1);
    } catch (const std::exception &) {
        return;
    }
    if (blurred.empty())
        return;
    blurredFrame = blurred;
    displayFrame(blurredFrame, QImage::Format_RGB888, form->gaussian);
}
