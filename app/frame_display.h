#ifndef FRAME_DISPLAY_H
#define FRAME_DISPLAY_H

#include <QImage>

#include <opencv2/core/mat.hpp>

class QGraphicsView;

// Shows an 8-bit frame in a view: Format_RGB888 for 3 channels in R, G, B order,
// Format_Indexed8 for one gray channel (its samples read as black to white). The view
// gets a fresh scene holding only this picture, which keeps its own copy of the pixels.
void displayFrame(const cv::Mat &frame, QImage::Format format, QGraphicsView *view);

#endif
