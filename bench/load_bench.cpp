#include "benchmarks.h"
#include "timing.h"

#include <QApplication>
#include <QGraphicsView>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <functional>
#include <cstdio>

#include <libheif/heif.h>

#include "dialog_driver.h"
#include "display_frames.h"
#include "image_file.h"
#include "literal_pipeline.h"
#include "mainwindow.h"
#include "picture_loader.h"
#include "pictures.h"
#include "resident.h"


namespace {

struct LoadFigures
{
    double imreadSeconds;
    double loadSeconds; // from the click on "load" to six views, less opening and closing the dialog
};

// Median over rounds that alternate the plain decode and a load through the real dialog.
LoadFigures measureLoad(MainWindow &window, const QString &path, int rounds)
{
    const std::string plainPath = path.toStdString();
    std::vector<double> imreadRuns, loadRuns, dialogRuns;
    for (int round = 0; round < rounds; ++round) {
        imreadRuns.push_back(medianSeconds(1, [&] { cv::imread(plainPath, cv::IMREAD_COLOR); }));
        loadRuns.push_back(medianSeconds(1, [&] { loadThroughDialog(&window, path); }));
        dialogRuns.push_back(medianSeconds(1, [&] { loadThroughDialog(&window, QString()); }));
    }
    return {median(imreadRuns), median(loadRuns) - median(dialogRuns)};
}

// A load's peak memory: the window's growth, and its decoder's, from the moment it was handed the
// picture to its peak, in memory no file backs (sampled every millisecond while it runs: it ends
// as soon as it has answered). The libraries' pages it shares with the waiting decoder are not
// the load's.
long long loadPeakGrowth(MainWindow &window, const QString &path)
{
    auto *loader = window.findChild<PictureLoader *>();
    long long decoderStart = -1, decoderPeak = -1;
    QTimer poll;
    poll.setInterval(1);
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const qint64 decoder = loader->busyProcessId();
        const long long now = decoder ? anonymousResidentBytesOf(decoder) : -1;
        if (now < 0)
            return;
        if (decoderStart < 0)
            decoderStart = now;
        decoderPeak = std::max(decoderPeak, now);
    });
    poll.start();
    const long long windowGrowth = peakResidentGrowth([&] { loadThroughDialog(&window, path); });
    return windowGrowth + std::max(0LL, decoderPeak - decoderStart);
}

QString writeEncoded(const QTemporaryDir &folder, const char *name, const cv::Mat &picture, const std::vector<int> &parameters)
{
    const QString path = folder.filePath(QString::fromLatin1(name));
    std::vector<unsigned char> bytes;
    cv::imencode(("." + QString::fromLatin1(name).section(QLatin1Char('.'), -1)).toStdString(), picture, bytes, parameters);
    writeBytes(path, bytes);
    return path;
}

} // namespace

void benchLoadAndReblur()
{
    QTemporaryDir folder;
    const cv::Mat photograph = photographLike(6000, 4000, 31);
    const QString jpeg = writeEncoded(folder, "photograph.jpg", photograph, {cv::IMWRITE_JPEG_QUALITY, 90});
    const QString progressive = writeEncoded(folder, "progressive.jpg", photograph,
                                             {cv::IMWRITE_JPEG_QUALITY, 90, cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const QString png = writeEncoded(folder, "photograph.png", photograph, {});
    // As many cameras write them: a restart marker every MCU row (16 x 16 pixels at 4:2:0).
    const QString restart = writeEncoded(folder, "restart.jpg", photograph,
                                         {cv::IMWRITE_JPEG_QUALITY, 90, cv::IMWRITE_JPEG_RST_INTERVAL, 6000 / 16});

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::printf("the window was not shown\n");

    const long long decodedBytes = 6000LL * 4000 * 3;
    // As the times leave out the dialog, so does the memory: its first opening fills caches of its
    // own (about 2.5 MiB), which are not the load's.
    loadThroughDialog(&window, QString());
    const long long peakGrowth = loadPeakGrowth(window, jpeg);

    const LoadFigures baseline = measureLoad(window, jpeg, 7);
    std::printf("load 6000x4000 JPEG q90 4:2:0: cv::imread %.1f ms, click to six views less the dialog %.1f ms, "
                "peak memory growth of the load %.1f MiB\n",
                baseline.imreadSeconds * 1e3, baseline.loadSeconds * 1e3, peakGrowth / 1048576.0);
    std::printf("load_vs_imread: %.3f\n", baseline.loadSeconds / baseline.imreadSeconds);
    std::printf("load_peak_memory_vs_decoded: %.3f\n", double(peakGrowth) / double(decodedBytes));

    const long long restartPeakGrowth = loadPeakGrowth(window, restart);
    const LoadFigures restartFigures = measureLoad(window, restart, 7);
    std::printf("load 6000x4000 JPEG q90 4:2:0, a restart marker every MCU row: cv::imread %.1f ms, load %.1f ms, "
                "peak memory growth of the load %.1f MiB\n",
                restartFigures.imreadSeconds * 1e3, restartFigures.loadSeconds * 1e3, restartPeakGrowth / 1048576.0);
    std::printf("load_vs_imread_restart: %.3f\n", restartFigures.loadSeconds / restartFigures.imreadSeconds);
    std::printf("load_peak_memory_vs_decoded_restart: %.3f\n", double(restartPeakGrowth) / double(decodedBytes));

    const LoadFigures progressiveFigures = measureLoad(window, progressive, 5);
    std::printf("load 6000x4000 progressive JPEG: cv::imread %.1f ms, load %.1f ms\n",
                progressiveFigures.imreadSeconds * 1e3, progressiveFigures.loadSeconds * 1e3);
    std::printf("load_vs_imread_progressive: %.3f\n", progressiveFigures.loadSeconds / progressiveFigures.imreadSeconds);

    const LoadFigures pngFigures = measureLoad(window, png, 5);
    std::printf("load 6000x4000 PNG: cv::imread %.1f ms, load %.1f ms\n", pngFigures.imreadSeconds * 1e3,
                pngFigures.loadSeconds * 1e3);
    std::printf("load_vs_imread_png: %.3f\n", pngFigures.loadSeconds / pngFigures.imreadSeconds);
    const long long pngPeakGrowth = loadPeakGrowth(window, png);
    std::printf("load_peak_memory_vs_decoded_png: %.3f\n", double(pngPeakGrowth) / double(decodedBytes));
    // The PNG route alone, in this process, without the decoder process around it.
    const std::string pngPath = png.toStdString();
    const long long routePeakGrowth = peakResidentGrowth([&] { loadDisplayFrames(png); });
    const double imreadPngSeconds = medianSeconds(5, [&] { cv::imread(pngPath, cv::IMREAD_COLOR); });
    const double routeSeconds = medianSeconds(5, [&] { loadDisplayFrames(png); });
    std::printf("in-process PNG load %.1f ms against cv::imread %.1f ms: %.3f, peak resident growth %.1f MiB: %.3f\n",
                routeSeconds * 1e3, imreadPngSeconds * 1e3, routeSeconds / imreadPngSeconds, routePeakGrowth / 1048576.0,
                double(routePeakGrowth) / double(decodedBytes));

    // For comparison: the plain sequence of library calls, with its full-size copies, no display.
    const std::string plainPath = jpeg.toStdString();
    const double literalSeconds = medianSeconds(5, [&] { literalDisplayFrames(cv::imread(plainPath, cv::IMREAD_COLOR)); });
    std::printf("literal_sequence_vs_imread: %.3f\n", literalSeconds / baseline.imreadSeconds);

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

void benchSmallLoad()
{
    QTemporaryDir folder;
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::printf("the window was not shown\n");
    auto *loader = window.findChild<PictureLoader *>();

    // A small picture: what handing it to the decoder and its frames back costs. Both loads start
    // at the call the dialog, the command line and the Page keys make, and end once the window
    // has taken the frames; in one process, the same load is decoded here and its frames handed
    // to the window as the decoder's are. The window idles before each, as between a person's
    // loads. Blocks of each take turns, so that a machine that slows down for a while slows both;
    // within a block, one load's leftovers are the next one's, as in a program that only did that.
    const QString small = writeEncoded(folder, "small.jpg", photographLike(1250, 800, 32), {cv::IMWRITE_JPEG_QUALITY, 90});
    const auto throughDecoder = [&] {
        window.open(small);
        waitForLoad(&window);
    };
    const auto inProcess = [&] {
        if (const std::optional<DisplayFrames> frames = loadDisplayFrames(small))
            emit loader->loaded(small, *frames);
    };
    const auto measureBlock = [](const std::function<void()> &load, std::vector<double> &runs) {
        load(); // the first after the other kind's, not counted
        for (int round = 0; round < 7; ++round) {
            QTest::qWait(100);
            runs.push_back(medianSeconds(1, load));
        }
    };
    std::vector<double> decoderRuns, inProcessRuns;
    for (int block = 0; block < 3; ++block) {
        measureBlock(throughDecoder, decoderRuns);
        measureBlock(inProcess, inProcessRuns);
    }
    std::printf("load 1250x800 JPEG to six views: in this process %.2f ms, through the decoder %.2f ms\n",
                median(inProcessRuns) * 1e3, median(decoderRuns) * 1e3);
    std::printf("small_load_vs_in_process: %.3f\n", median(decoderRuns) / median(inProcessRuns));
}

void benchHeifLoad()
{
    if (!heifEncodes()) {
        std::printf("load_vs_heif_decode: not measured, libheif here has no encoder to write the picture\n");
        return;
    }
    // A 12-megapixel photograph as libheif's encoder writes it: one HEVC picture, no grid.
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("photograph.heic"));
    writeBytes(path, heifEncoded(photographLike(4032, 3024, 32)));
    const std::string name = path.toStdString();

    // What a program gets from libheif with its defaults: the file read, the picture decoded to RGB,
    // on one thread, by libheif's own HEVC decoder.
    heif_decoding_options *options = heif_decoding_options_alloc();
    options->decoder_id = "libde265";
    const auto libheifDecode = [&] {
        heif_context *context = heif_context_alloc();
        heif_context_set_max_decoding_threads(context, 0);
        heif_image_handle *handle = nullptr;
        heif_image *image = nullptr;
        if (heif_context_read_from_file(context, name.c_str(), nullptr).code == heif_error_Ok
            && heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok)
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, options);
        heif_image_release(image);
        heif_image_handle_release(handle);
        heif_context_free(context);
    };
    std::vector<double> decodeRuns, loadRuns;
    for (int round = 0; round < 5; ++round) {
        decodeRuns.push_back(medianSeconds(1, libheifDecode));
        loadRuns.push_back(medianSeconds(1, [&] { loadDisplayFrames(path); }));
    }
    heif_decoding_options_free(options);
    std::printf("load 4032x3024 HEIC in-process: libheif decode %.1f ms, loadDisplayFrames %.1f ms\n",
                median(decodeRuns) * 1e3, median(loadRuns) * 1e3);
    std::printf("load_vs_heif_decode: %.3f\n", median(loadRuns) / median(decodeRuns));
}
