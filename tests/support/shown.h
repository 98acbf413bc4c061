#ifndef SHOWN_H
#define SHOWN_H

#include <QImage>
#include <QPoint>

#include <opencv2/core/mat.hpp>

#include <optional>

#include "display_frames.h"

class QGraphicsView;

// The six views' object names, in the order the load fills them.
inline const char *const displayViewNames[] = {"origin", "gray", "gaussian", "sobel", "laplacian", "average"};

// What a view shows: its scene's picture as 8-bit RGB (empty if the view has no picture).
cv::Mat shownPicture(const QGraphicsView *view);

// What the view's screen area shows, rendered as the user would see it, as 8-bit RGB.
cv::Mat renderedView(QGraphicsView *view);

// A frame as the user sees it: gray frames as three equal channels, RGB frames as they are.
cv::Mat asShown(const cv::Mat &frame);

// Number of samples that differ; -1 if the sizes or types differ.
long long differingSamples(const cv::Mat &a, const cv::Mat &b);

cv::Mat toFrame(const QImage &image); // converted to 8-bit RGB

// The real window on a screen. Where the named view begins in the window's central widget.
QPoint viewInCentralWidget(const char *name);

// The named view's area of a screenshot, the central widget beginning at `central`; empty if it
// is not all on the screen.
cv::Mat viewOnScreen(const cv::Mat &screen, QPoint central, const char *name);

// Where the central widget begins on a screenshot on which the origin view shows exactly
// `origin` (as shown); nothing if no place does.
std::optional<QPoint> centralWidgetShowing(const cv::Mat &screen, const cv::Mat &origin);

// The first view that does not show its frame of `expected` exactly on the screenshot, the
// central widget beginning at `central`, the Gaussian view blurred with the kernel size;
// nullptr if all six do.
const char *firstViewDiffering(const cv::Mat &screen, QPoint central, const DisplayFrames &expected, int kernelSize = 1);

#endif
