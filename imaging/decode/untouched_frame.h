#ifndef UNTOUCHED_FRAME_H
#define UNTOUCHED_FRAME_H

#include <opencv2/core/mat.hpp>

#include <cstdint>

// An 8-bit BGR frame whose pages are taken from the system only when first written: the rows a
// decode leaves out cost no memory. A frame of up to 8 MiB comes from the heap instead, whose
// pages earlier decodes have already taken; its rows hold anything until written.
cv::Mat untouchedFrame(int rows, int cols);

// Whether the library decodes a picture of this size at all: its limits, which its environment
// variables may lower or raise. A limit it cannot read the way the library does counts as broken.
bool withinLibraryLimits(std::uint64_t width, std::uint64_t height);

#endif
