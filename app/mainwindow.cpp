#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QFileDialog>
#include <QPixmapCache>
#include <QProgressBar>
#include <QStatusBar>

#include <iostream>

#include "display_frames.h"
#include "frame_display.h"
#include "picture_loader.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindow)
    , loader(new PictureLoader(this))
    , loadProgress(new QProgressBar)
{
    form->setupUi(this);
    form->spinBox->setSingleStep(2);
    setWindowTitle(QStringLiteral("Vireoscope"));

    loadProgress->setMaximumWidth(200);
    loadProgress->setTextVisible(false);
    loadProgress->hide();
    statusBar()->addPermanentWidget(loadProgress);
    connect(loader, &PictureLoader::progressed, this, [this](int rowsDone, int rowsToGo) {
        // Only the JPEG route can tell how far it is; the others show that they are busy.
        loadProgress->setRange(0, rowsToGo);
        loadProgress->setValue(rowsDone);
    });
    connect(loader, &PictureLoader::loaded, this, [this](const QString &, const DisplayFrames &frames) {
        showLoading(false);
        showLoaded(frames);
    });
    connect(loader, &PictureLoader::failed, this, [this](const QString &path) {
        showLoading(false);
        showFailure(path);
    });
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
    openPicture(imagePath);
}

void MainWindow::openPicture(const QString &path)
{
    // A load still running is overtaken: only the newest one's frames are shown.
    loader->load(path);
    showLoading(true);
}

void MainWindow::showLoading(bool loading)
{
    // The window keeps working while a load runs: the busy cursor is the views' alone.
    for (QWidget *view : {form->origin, form->gray, form->gaussian, form->sobel, form->laplacian, form->average}) {
        if (loading)
            view->setCursor(Qt::BusyCursor);
        else
            view->unsetCursor();
    }
    loadProgress->setRange(0, 0);
    loadProgress->setVisible(loading);
}

void MainWindow::showLoaded(const DisplayFrames &frames)
{
    // All six frames were made before any is shown, so they change together.
    displayFrame(frames.rgb, QImage::Format_RGB888, form->origin);
    displayFrame(frames.gray, QImage::Format_Indexed8, form->gray);
    colorFrame = frames.rgb;
    // The Gaussian view follows the spin box, whatever it was set to before the load.
    if (form->spinBox->value() == 1) {
        displayFrame(frames.gauss, QImage::Format_RGB888, form->gaussian);
    } else {
        blurredFrame = reblurredFrame(colorFrame, form->spinBox->value());
        displayFrame(blurredFrame, QImage::Format_RGB888, form->gaussian);
    }
    displayFrame(frames.sobel, QImage::Format_Indexed8, form->sobel);
    displayFrame(frames.laplace, QImage::Format_Indexed8, form->laplacian);
    displayFrame(frames.average, QImage::Format_RGB888, form->average);
}

void MainWindow::showFailure(const QString &)
{
    // Nothing on screen changes.
    std::cout << "reading fail" << std::endl;
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
