#ifndef ROW_SHRINK_H
#define ROW_SHRINK_H

#include <opencv2/core/mat.hpp>

#include <vector>

// The shrink of an 8-bit BGR picture to display size (cv::resize, INTER_LINEAR), done one source
// row at a time as a decoder makes them, so that nothing as wide as the picture is kept: each row
// is blended across into whole numbers as it comes, and each display row is made as soon as its
// two source rows are in. The arithmetic is the library's own, step for step: coefficients
// rounded from the same single-precision positions, rows blended across at 11 fractional bits,
// then down at 16 with the same shifts.
class RowShrink
{
public:
    // Whether the library shrinks a picture of this size by blending two rows into each display
    // row, which is what this repeats; not where it keeps every row, nor at exactly twice the
    // display size, where it averages blocks of 2 x 2 instead.
    static bool applies(cv::Size pictureSize);

    explicit RowShrink(cv::Size pictureSize);

    // Rows come in ascending order; those the shrink does not read (see rowsReadByShrink) are
    // passed over. `pixels` holds the row's width in BGR.
    void add(int row, const unsigned char *pixels);

    // The display-size picture, once every row it reads has come; empty before.
    cv::Mat result() const;

private:
    struct Blended
    {
        int row = -1;
        std::vector<int> values; // the row blended across, scaled by 2048
    };

    cv::Size pictureSize;
    std::vector<int> leftColumn;         // for each display column, the left of its two source columns
    std::vector<short> columnWeights;    // for each display column, the two columns' weights
    std::vector<int> topRow, bottomRow;  // for each display row, its two source rows
    std::vector<short> rowWeights;       // for each display row, the two rows' weights
    Blended blended[2];                  // the latest rows blended across, oldest first
    int nextDisplayRow = 0;
    cv::Mat shrunk;
};

#endif
