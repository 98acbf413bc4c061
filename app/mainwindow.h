#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

#include <opencv2/core/mat.hpp>

QT_BEGIN_NAMESPACE
namespace Ui { class MainWindow; }
class QProgressBar;
class QTimer;
QT_END_NAMESPACE
class PictureLoader;
struct DisplayFrames;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Opens the picture as if it had been picked in the file dialog.
    void open(const QString &path) { openPicture(path); }

private slots:
    void on_load_clicked();
    void on_spinBox_valueChanged(int arg1);

private:
    // Every way of opening a picture ends here: the dialog, the command line, a drop, the Page
    // keys. The load runs beside the window; its frames or its failure are shown when they come.
    void openPicture(const QString &path);
    void showLoaded(const QString &path, const DisplayFrames &frames);
    void showFailure(const QString &path, const QString &problem);
    void openNeighbour(int step);
    void showLoading(bool loading);
    QString dialogFilters() const;

    Ui::MainWindow *form;
    QString imagePath; // the picture last opened, or tried; the Page keys walk from it
    cv::Mat colorFrame;   // the shown picture at display size, RGB; what every re-blur starts from
    cv::Mat blurredFrame; // the last re-blur
    PictureLoader *loader;
    QProgressBar *loadProgress; // in the status bar while a load runs
    QTimer *progressDelay;      // before the bar shows
};

#endif
