#ifndef SHOWN_H
#define SHOWN_H

#include <QImage>

#include <opencv2/core/mat.hpp>

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

#endif
