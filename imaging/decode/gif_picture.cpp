#include "gif_picture.h"
#include "untouched_frame.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct FileReader
{
    const PictureFile &file;
    long long position = 0;
    bool terminatorMayBeMissing = false;
};

int readFromFile(GifFileType *gif, GifByteType *buffer, int size)
{
    auto *reader = static_cast<FileReader *>(gif->UserData);
    // Once the image's last pixel is read, giflib reads on to its block terminator; a file that ends
    // there holds the whole image, so the terminator is read as if it were there. Found before the
    // last pixel, an empty block is a damaged image to giflib, and fails as the file's end would.
    if (reader->terminatorMayBeMissing && size == 1 && reader->position == reader->file.size()) {
        *buffer = 0;
        ++reader->position;
        return 1;
    }
    const long long got = size > 0 ? reader->file.read(buffer, std::size_t(size), reader->position) : 0;
    if (got <= 0)
        return 0;
    reader->position += got;
    return int(got);
}

struct Close
{
    void operator()(GifFileType *gif) const { DGifCloseFile(gif, nullptr); }
};

// Where each row read comes on the image: in order, or in the four passes of an interlaced one.
std::vector<int> rowOrder(int height, bool interlaced)
{
    std::vector<int> order;
    order.reserve(std::size_t(height));
    if (!interlaced) {
        for (int row = 0; row < height; ++row)
            order.push_back(row);
        return order;
    }
    for (const auto &[first, step] : {std::pair{0, 8}, std::pair{4, 8}, std::pair{2, 4}, std::pair{1, 2}})
        for (int row = first; row < height; row += step)
            order.push_back(row);
    return order;
}

cv::Vec3b bgrOf(const ColorMapObject *map, int index)
{
    if (!map || index < 0 || index >= map->ColorCount)
        return {0, 0, 0};
    const GifColorType &colour = map->Colors[index];
    return {colour.Blue, colour.Green, colour.Red};
}

} // namespace

bool startsLikeGif(const unsigned char *bytes, std::size_t size)
{
    return size >= 6 && (std::memcmp(bytes, "GIF87a", 6) == 0 || std::memcmp(bytes, "GIF89a", 6) == 0);
}

cv::Mat decodeGif(const PictureFile &file, LoadProgress *progress)
{
    FileReader reader{file};
    int error = 0;
    const std::unique_ptr<GifFileType, Close> gif(DGifOpen(&reader, readFromFile, &error));
    if (!gif || !withinLibraryLimits(unsigned(gif->SWidth), unsigned(gif->SHeight)))
        return {};
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType record;
        if (DGifGetRecordType(gif.get(), &record) != GIF_OK || record == TERMINATE_RECORD_TYPE)
            return {};
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType *block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) != GIF_OK)
                return {};
            // A graphics control belongs to the graphic rendering block after it (GIF89a): the image,
            // or a plain text extension, which is not drawn but takes the control before it.
            GraphicsControlBlock control;
            if (code == GRAPHICS_EXT_FUNC_CODE && block && DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
                transparent = control.TransparentColor;
            if (code == PLAINTEXT_EXT_FUNC_CODE)
                transparent = NO_TRANSPARENT_COLOR;
            while (block)
                if (DGifGetExtensionNext(gif.get(), &block) != GIF_OK)
                    return {};
        } else if (record == IMAGE_DESC_RECORD_TYPE) {
            break;
        }
    }
    if (DGifGetImageDesc(gif.get()) != GIF_OK)
        return {};

    const GifImageDesc &image = gif->Image;
    const ColorMapObject *map = image.ColorMap ? image.ColorMap : gif->SColorMap;
    const cv::Vec3b background = bgrOf(gif->SColorMap, gif->SBackGroundColor);
    cv::Mat screen(gif->SHeight, gif->SWidth, CV_8UC3, cv::Scalar(background[0], background[1], background[2]));
    if (image.Width <= 0 || image.Height <= 0)
        return screen;

    // Rows and columns of the image that fall on the screen; the rest are read and dropped.
    const int firstColumn = std::max(0, -image.Left), endColumn = std::min(image.Width, gif->SWidth - image.Left);
    const int onScreen = std::max(0, std::min(image.Height, gif->SHeight - image.Top) - std::max(0, -image.Top));
    if (progress)
        progress->rowsToGo = onScreen;
    std::vector<GifPixelType> line(std::size_t(image.Width));
    const std::vector<int> order = rowOrder(image.Height, image.Interlace);
    int placed = 0;
    for (const int row : order) {
        if (placed == onScreen)
            break; // what is left lies off the screen
        reader.terminatorMayBeMissing = row == order.back(); // the image's last row read
        if ((progress && progress->cancelled) || DGifGetLine(gif.get(), line.data(), image.Width) != GIF_OK)
            return {};
        const int y = image.Top + row;
        if (y < 0 || y >= gif->SHeight)
            continue;
        auto *pixels = screen.ptr<cv::Vec3b>(y);
        for (int column = firstColumn; column < endColumn; ++column)
            if (line[std::size_t(column)] != transparent)
                pixels[image.Left + column] = bgrOf(map, line[std::size_t(column)]);
        ++placed;
        if (progress)
            progress->rowsDone = placed;
    }
    return screen;
}
