#ifndef LITERAL_PIPELINE_H
#define LITERAL_PIPELINE_H

#include <opencv2/core/mat.hpp>

#include "display_frames.h"

// The six frames made by the plain sequence of library calls, step by step as the program
// is meant to behave, with full-size copies and no reordering: what the program must match.
DisplayFrames literalDisplayFrames(const cv::Mat &sourceFrame);

// The re-blur as plain library calls.
cv::Mat literalReblur(const cv::Mat &colorFrame, int kernelSize);

#endif
