#include "shown.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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
