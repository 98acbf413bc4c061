#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QPixmapCache>
#include <QProgressBar>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>

#include <iostream>

#include "display_frames.h"
#include "frame_display.h"
#include "input_filters.h"
#include "picture_files.h"
#include "picture_loader.h"
#include "picture_types.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindow)
    , loader(new PictureLoader(this))
    , loadProgress(new QProgressBar)
    , progressDelay(new QTimer(this))
{
    form->setupUi(this);
    form->spinBox->setSingleStep(2);
    setWindowTitle(QStringLiteral("Vireoscope"));

    // Assistive technology names each view by its caption and the spin box by its label.
    form->Origin->setBuddy(form->origin);
    form->Gray->setBuddy(form->gray);
    form->Gaussian->setBuddy(form->gaussian);
    form->Sobel->setBuddy(form->sobel);
    form->Laplacian->setBuddy(form->laplacian);
    form->Average->setBuddy(form->average);
    form->label->setBuddy(form->spinBox);

    const auto shortcut = [this](QList<QKeySequence> keys, auto action) {
        auto *shortcut = new QShortcut(this);
        shortcut->setKeys(keys);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence::keyBindings(QKeySequence::Open), [this] { form->load->click(); });
    QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (quitKeys.isEmpty()) // Windows has no standard key for it
        quitKeys << QKeySequence(Qt::CTRL | Qt::Key_Q);
    shortcut(quitKeys, [this] { close(); });
    // The spin box keeps its own Page keys; with Ctrl they work everywhere.
    shortcut({Qt::Key_PageDown, Qt::CTRL | Qt::Key_PageDown}, [this] { openNeighbour(1); });
    shortcut({Qt::Key_PageUp, Qt::CTRL | Qt::Key_PageUp}, [this] { openNeighbour(-1); });
    new PageKeyKeeper(form->spinBox);

    auto *drops = new DropOpener(this);
    connect(drops, &DropOpener::fileDropped, this, [this](const QString &path) { openPicture(path); });

    loadProgress->setMaximumWidth(200);
    loadProgress->setTextVisible(false);
    loadProgress->hide();
    statusBar()->addPermanentWidget(loadProgress);
    // Most loads are over in a blink: the bar shows only for those that take a while, so that it
    // neither flickers nor costs them time.
    progressDelay->setSingleShot(true);
    progressDelay->setInterval(200);
    connect(progressDelay, &QTimer::timeout, loadProgress, &QWidget::show);
    connect(loader, &PictureLoader::progressed, this, [this](int rowsDone, int rowsToGo) {
        // Only the JPEG route can tell how far it is; the others show that they are busy.
        loadProgress->setRange(0, rowsToGo);
        loadProgress->setValue(rowsDone);
    });
    connect(loader, &PictureLoader::loaded, this, [this](const QString &path, const DisplayFrames &frames) {
        showLoading(false);
        showLoaded(path, frames);
    });
    connect(loader, &PictureLoader::failed, this, [this](const QString &path, const QString &problem) {
        showLoading(false);
        showFailure(path, problem);
    });
}

MainWindow::~MainWindow()
{
    delete form;
}

QString MainWindow::dialogFilters() const
{
    QStringList filters = {tr("Image (*.jpg *.png *.HEIC *.txt *.jpeg)")};
    const QMimeDatabase mimeTypes;
    for (const PictureType &type : pictureTypes) {
        const QString extension = QString::fromLatin1(type.extension);
        QString kind = mimeTypes.mimeTypeForName(QString::fromLatin1(type.mimeType)).comment();
        if (kind.isEmpty())
            kind = tr("%1 image").arg(extension.toUpper());
        filters << tr("%1 (*.%2)").arg(kind, extension);
    }
    filters << tr("All files (*)");
    return filters.join(QStringLiteral(";;"));
}

void MainWindow::on_load_clicked()
{
    const QString caption = tr("OpenFile");
    // Every dialog makes its icons anew, so what it draws of them would pile up in the pixmap
    // cache (up to 10 MiB), whose keys Qt 6.4 keeps even once it drops the pixmaps: the cache
    // takes nothing while the dialog is open.
    const int cacheLimit = QPixmapCache::cacheLimit();
    QPixmapCache::setCacheLimit(0);
    const QString chosen = QFileDialog::getOpenFileName(this, caption, QString(""), dialogFilters());
    QPixmapCache::setCacheLimit(cacheLimit);
    // A cancelled dialog changes nothing; the Page keys still walk from the picture shown.
    if (!chosen.isEmpty())
        openPicture(chosen);
}

void MainWindow::openPicture(const QString &path)
{
    imagePath = path;
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
    if (loading) {
        progressDelay->start();
    } else {
        progressDelay->stop();
        loadProgress->hide();
    }
}

void MainWindow::showLoaded(const QString &path, const DisplayFrames &frames)
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
    form->statusbar->showMessage(tr("%1 — %2 × %3")
                                     .arg(QFileInfo(path).fileName())
                                     .arg(frames.pictureSize.width)
                                     .arg(frames.pictureSize.height));
}

void MainWindow::showFailure(const QString &path, const QString &problem)
{
    // Nothing on screen changes but the status bar: started from the desktop, nobody sees
    // standard output. A decoder that cannot run is no fault of the picture's, and says so.
    std::cout << "reading fail" << std::endl;
    const QString name = QFileInfo(path).fileName();
    form->statusbar->showMessage(problem.isEmpty() ? tr("reading fail: %1").arg(name)
                                                   : tr("reading fail: %1: %2").arg(name, problem));
}

void MainWindow::openNeighbour(int step)
{
    if (imagePath.isEmpty())
        return;
    const QString neighbour = neighbourInFolder(imagePath, step);
    if (!neighbour.isEmpty())
        openPicture(neighbour);
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
