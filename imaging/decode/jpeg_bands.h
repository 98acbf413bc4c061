#ifndef JPEG_BANDS_H
#define JPEG_BANDS_H

#include <opencv2/core/types.hpp>

#include <cstddef>
#include <functional>
#include <vector>

#include "load_progress.h"
#include "picture_file.h"

// A band's bytes, a complete JPEG of its own, in order: puts the next of them, at most `size`,
// into `buffer` and says how many; 0 after the last one or on a read error.
using BandReader = std::function<std::size_t(unsigned char *buffer, std::size_t size)>;

// Decodes one band whose first row is the picture's row `firstRow`, keeping the rows `keepRow`
// marks (one flag per row of the band). True only when libjpeg read every byte of it without a
// warning or an error.
using BandDecoder = std::function<bool(const BandReader &read, int firstRow, const std::vector<char> &keepRow)>;

// Decodes a sequential Huffman JPEG of one scan with restart markers in up to `bands` bands, each
// on a thread of its own. At a restart marker the entropy decoder starts afresh, so the scan is
// cut there: each band is the file's headers with the frame height patched, the entropy data
// from one restart point to another with the markers renumbered from RST0, and an end marker,
// read from the file a piece at a time as libjpeg asks for it (no copy of the file is held).
// Every band reads the same open file, at offsets of its own.
// Bands begin and end on MCU rows; where colours are subsampled vertically they reach one MCU
// row into their neighbours, whose rows the upsampling blends. Together they decode every byte
// of the scan. `keepRow` marks the picture's rows to keep; `pictureSize` is its decoded size.
// Returns the number of bands decoded; 0 where the file is not cut (not such a file, markers
// that do not match the picture, no end marker, too small to pay) or any band failed or
// warned, and the caller then decodes the file as one.
int decodeInBands(const PictureFile &file, cv::Size pictureSize, const std::vector<char> &keepRow, int bands,
                  const BandDecoder &decodeBand, LoadProgress *progress);

#endif
