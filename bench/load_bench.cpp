#include "benchmarks.h"
#include "timing.h"

#include <QApplication>
#include <QGraphicsView>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

#include "dialog_driver.h"
#include "display_frames.h"
#include "frame_display.h"
#include "image_file.h"
#include "literal_pipeline.h"
#include "mainwindow.h"
#include "pictures.h"
#include "resident.h"


void benchLoadAndReblur()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("photograph.jpg"));
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", photographLike(6000, 4000, 31), jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    writeBytes(path, jpeg);
    const std::string plainPath = path.toStdString();

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::printf("the window was not shown\n");

    const long long decodedBytes = 6000LL * 4000 * 3;
    const long long peakGrowth = peakResidentGrowth([&] { loadThroughDialog(&window, path); });

    std::vector<double> imreadRuns, loadRuns, dialogRuns;
    for (int round = 0; round < 7; ++round) {
        imreadRuns.push_back(medianSeconds(1, [&] { cv::imread(plainPath, cv::IMREAD_COLOR); }));
        loadRuns.push_back(medianSeconds(1, [&] { loadThroughDialog(&window, path); }));
        dialogRuns.push_back(medianSeconds(1, [&] { loadThroughDialog(&window, QString()); }));
    }
    const double imreadSeconds = median(imreadRuns);
    const double loadSeconds = median(loadRuns);
    const double dialogSeconds = median(dialogRuns);
    std::printf("load 6000x4000 JPEG q90: cv::imread %.1f ms, click to six views %.1f ms "
                "(of which opening and closing the file dialog %.1f ms), peak resident growth %.1f MiB\n",
                imreadSeconds * 1e3, loadSeconds * 1e3, dialogSeconds * 1e3, peakGrowth / 1048576.0);
    std::printf("load_vs_imread: %.3f\n", (loadSeconds - dialogSeconds) / imreadSeconds);
    // For comparison: the plain sequence of library calls, with its full-size copies, no display.
    const double literalSeconds = medianSeconds(5, [&] { literalDisplayFrames(cv::imread(plainPath, cv::IMREAD_COLOR)); });
    std::printf("literal_sequence_vs_imread: %.3f\n", literalSeconds / imreadSeconds);
    std::printf("load_peak_memory_vs_decoded: %.3f\n", double(peakGrowth) / double(decodedBytes));

    // The kept colour frame is the display-size picture the origin view shows.
    const cv::Mat colorFrame = deriveDisplayFrames(cv::imread(plainPath, cv::IMREAD_COLOR)).rgb;
    cv::Mat blurred;
    const double blurSeconds = medianSeconds(101, [&] {
        cv::GaussianBlur(colorFrame, blurred, cv::Size(35, 35), 0, 0, cv::BORDER_DEFAULT);
    });
    const double slotSeconds = medianSeconds(101, [&] {
        QMetaObject::invokeMethod(&window, "on_spinBox_valueChanged", Qt::DirectConnection, Q_ARG(int, 35));
    });
    std::printf("re-blur at k = 35: cv::GaussianBlur %.3f ms, slot with display %.3f ms\n", blurSeconds * 1e3,
                slotSeconds * 1e3);
    std::printf("reblur_k35_vs_blur: %.3f\n", slotSeconds / blurSeconds);
}
