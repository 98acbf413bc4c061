#include "row_shrink.h"
#include "display_frames.h"

#include <opencv2/core/saturate.hpp>

#include <algorithm>

namespace {

constexpr int channels = 3;
constexpr int weightScale = 2048; // the library's fixed-point unit for blending weights

// The library's placing of a display pixel between two source pixels: the left (or top) one, and
// both weights, rounded from a single-precision position.
struct Placing
{
    int first;
    short firstWeight, secondWeight;
};

Placing placing(int displayIndex, double scale, int sourceLength, bool clampToEdges)
{
    float position = static_cast<float>((displayIndex + 0.5) * scale - 0.5);
    int first = cvFloor(position);
    position -= first;
    // Across, a pixel outside the picture is its edge pixel, whole; down, the rows are clamped
    // when read, with the weights as they are.
    if (clampToEdges && first < 0)
        position = 0, first = 0;
    if (clampToEdges && first >= sourceLength - 1)
        position = 0, first = sourceLength - 1;
    return {first, cv::saturate_cast<short>((1.f - position) * weightScale),
            cv::saturate_cast<short>(position * weightScale)};
}

} // namespace

bool RowShrink::applies(cv::Size pictureSize)
{
    return pictureSize.height > displaySize.height && pictureSize != cv::Size(2 * displaySize.width, 2 * displaySize.height);
}

RowShrink::RowShrink(cv::Size pictureSize)
    : pictureSize(pictureSize)
{
    // The scales as the library derives them from the two sizes.
    const double scaleX = 1. / (double(displaySize.width) / pictureSize.width);
    const double scaleY = 1. / (double(displaySize.height) / pictureSize.height);
    for (int x = 0; x < displaySize.width; ++x) {
        const Placing column = placing(x, scaleX, pictureSize.width, true);
        leftColumn.push_back(column.first);
        columnWeights.push_back(column.firstWeight);
        columnWeights.push_back(column.secondWeight);
    }
    for (int y = 0; y < displaySize.height; ++y) {
        const Placing row = placing(y, scaleY, pictureSize.height, false);
        topRow.push_back(std::clamp(row.first, 0, pictureSize.height - 1));
        bottomRow.push_back(std::clamp(row.first + 1, 0, pictureSize.height - 1));
        rowWeights.push_back(row.firstWeight);
        rowWeights.push_back(row.secondWeight);
    }
    shrunk.create(displaySize, CV_8UC3);
}

void RowShrink::add(int row, const unsigned char *pixels)
{
    if (nextDisplayRow >= displaySize.height || row < topRow[std::size_t(nextDisplayRow)])
        return;
    // Across first: each display pixel's channels from the two source pixels around it, or from
    // the edge pixel alone.
    std::swap(blended[0], blended[1]);
    Blended &across = blended[1];
    across.row = row;
    across.values.resize(std::size_t(displaySize.width) * channels);
    for (int x = 0; x < displaySize.width; ++x) {
        const int left = leftColumn[std::size_t(x)];
        const int leftWeight = columnWeights[2 * std::size_t(x)], rightWeight = columnWeights[2 * std::size_t(x) + 1];
        const unsigned char *source = pixels + std::size_t(left) * channels;
        int *value = across.values.data() + std::size_t(x) * channels;
        for (int c = 0; c < channels; ++c)
            value[c] = left + 1 < pictureSize.width ? source[c] * leftWeight + source[c + channels] * rightWeight
                                                    : source[c] * weightScale;
    }
    // Then down, for each display row whose two source rows are in: the library drops 4 bits of
    // each blended value and keeps the high 16 of each product, then rounds off the last 2.
    const auto find = [this](int wanted) -> const int * {
        for (const Blended &kept : blended)
            if (kept.row == wanted)
                return kept.values.data();
        return nullptr;
    };
    while (nextDisplayRow < displaySize.height && bottomRow[std::size_t(nextDisplayRow)] <= row) {
        const std::size_t y = std::size_t(nextDisplayRow);
        const int *top = find(topRow[y]), *bottom = find(bottomRow[y]);
        if (!top || !bottom)
            return; // a row it needed was passed over: no result
        const int topWeight = rowWeights[2 * y], bottomWeight = rowWeights[2 * y + 1];
        unsigned char *out = shrunk.ptr(int(y));
        for (int i = 0; i < displaySize.width * channels; ++i)
            out[i] = static_cast<unsigned char>((((topWeight * (top[i] >> 4)) >> 16) + ((bottomWeight * (bottom[i] >> 4)) >> 16) + 2) >> 2);
        ++nextDisplayRow;
    }
}

cv::Mat RowShrink::result() const
{
    return nextDisplayRow == displaySize.height ? shrunk : cv::Mat();
}
