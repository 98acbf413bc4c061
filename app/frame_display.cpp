#include "frame_display.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPixmap>

void displayFrame(const cv::Mat &frame, QImage::Format format, QGraphicsView *view)
{
    // Wraps the pixels without copying; the row stride is passed because a frame's rows
    // need not be 4-byte aligned or contiguous.
    const QImage image(static_cast<const uchar *>(frame.data), frame.cols, frame.rows,
                       static_cast<qsizetype>(frame.step[0]), format);

    // The view owns its scene, so replacing or destroying the view frees it.
    auto *scene = new QGraphicsScene(view);
    scene->addPixmap(QPixmap::fromImage(image));

    QGraphicsScene *previous = view->scene();
    view->setScene(scene);
    view->show();
    // setScene never deletes the old scene; free the one we put there before.
    if (previous && previous->parent() == view)
        delete previous;
}
