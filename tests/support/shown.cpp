#include "shown.h"
#include "literal_pipeline.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

cv::Mat toFrame(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const cv::Mat wrapped(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar *>(rgb.constBits()),
                          static_cast<size_t>(rgb.bytesPerLine()));
    return wrapped.clone();
}

cv::Mat shownPicture(const QGraphicsView *view)
{
    if (!view->scene())
        return {};
    const QList<QGraphicsItem *> items = view->scene()->items();
    if (items.size() != 1)
        return {};
    const auto *pixmapItem = qgraphicsitem_cast<const QGraphicsPixmapItem *>(items.first());
    return pixmapItem ? toFrame(pixmapItem->pixmap().toImage()) : cv::Mat();
}

cv::Mat renderedView(QGraphicsView *view)
{
    return toFrame(view->grab().toImage());
}

cv::Mat asShown(const cv::Mat &frame)
{
    if (frame.channels() == 3)
        return frame.clone();
    cv::Mat rgb;
    cv::cvtColor(frame, rgb, cv::COLOR_GRAY2RGB);
    return rgb;
}

long long differingSamples(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return -1;
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    return cv::countNonZero(difference.reshape(1, difference.rows * difference.channels()));
}

QPoint viewInCentralWidget(const char *name)
{
    static const struct { const char *name; QPoint topLeft; } places[] = {
        {"origin", {10, 40}},  {"gray", {270, 40}},  {"average", {530, 40}},
        {"gaussian", {10, 270}}, {"sobel", {270, 270}}, {"laplacian", {530, 270}},
    };
    for (const auto &place : places)
        if (std::strcmp(place.name, name) == 0)
            return place.topLeft;
    return {-100000, -100000};
}

cv::Mat viewOnScreen(const cv::Mat &screen, QPoint central, const char *name)
{
    const QPoint at = central + viewInCentralWidget(name);
    const cv::Rect area(at.x(), at.y(), 256, 192);
    if ((area & cv::Rect(0, 0, screen.cols, screen.rows)) != area)
        return {};
    return screen(area).clone();
}

std::optional<QPoint> centralWidgetShowing(const cv::Mat &screen, const cv::Mat &origin)
{
    if (screen.type() != origin.type() || screen.cols < origin.cols || screen.rows < origin.rows)
        return std::nullopt;
    // The best match by squared difference, then confirmed sample by sample.
    cv::Mat distance;
    cv::matchTemplate(screen, origin, distance, cv::TM_SQDIFF);
    cv::Point best;
    cv::minMaxLoc(distance, nullptr, nullptr, &best);
    const QPoint central = QPoint(best.x, best.y) - viewInCentralWidget("origin");
    if (differingSamples(viewOnScreen(screen, central, "origin"), origin) != 0)
        return std::nullopt;
    return central;
}

const char *firstViewDiffering(const cv::Mat &screen, QPoint central, const DisplayFrames &expected, int kernelSize)
{
    const struct { const char *view; cv::Mat frame; } views[] = {
        {"origin", expected.rgb}, {"gray", expected.gray},
        {"gaussian", kernelSize == 1 ? expected.gauss : literalReblur(expected.rgb, kernelSize)},
        {"sobel", expected.sobel}, {"laplacian", expected.laplace}, {"average", expected.average},
    };
    for (const auto &view : views)
        if (differingSamples(viewOnScreen(screen, central, view.view), asShown(view.frame)) != 0)
            return view.view;
    return nullptr;
}
