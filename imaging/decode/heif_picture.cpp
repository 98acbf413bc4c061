#include "heif_picture.h"
#include "jpeg_rows.h"
#include "untouched_frame.h"

#include <opencv2/imgproc.hpp>

#include <libheif/heif.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// The brands of still pictures and sequences, HEVC or AV1, and the general image brands that
// such files give as their major brand.
constexpr const char *heifBrands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "avif", "avis"};

bool isHeifBrand(const unsigned char *brand)
{
    return std::any_of(std::begin(heifBrands), std::end(heifBrands),
                       [brand](const char *known) { return std::memcmp(brand, known, 4) == 0; });
}

// libheif reads through the one open file, at its own position.
struct FileReader
{
    const PictureFile &file;
    std::int64_t position = 0;
};

heif_reader readerOver()
{
    heif_reader reader = {};
    reader.reader_api_version = 1;
    reader.get_position = [](void *user) { return static_cast<FileReader *>(user)->position; };
    reader.read = [](void *data, size_t size, void *user) {
        auto *reader = static_cast<FileReader *>(user);
        auto *bytes = static_cast<char *>(data);
        while (size > 0) {
            const long long got = reader->file.read(bytes, size, reader->position);
            if (got <= 0)
                return -1;
            bytes += got;
            size -= static_cast<size_t>(got);
            reader->position += got;
        }
        return 0;
    };
    reader.seek = [](int64_t position, void *user) {
        auto *reader = static_cast<FileReader *>(user);
        if (position < 0 || position > reader->file.size())
            return -1;
        reader->position = position;
        return 0;
    };
    reader.wait_for_file_size = [](int64_t size, void *user) {
        return size <= static_cast<FileReader *>(user)->file.size() ? heif_reader_grow_status_size_reached
                                                                     : heif_reader_grow_status_size_beyond_eof;
    };
    return reader;
}

struct Release
{
    void operator()(heif_context *context) const { heif_context_free(context); }
    void operator()(heif_image_handle *handle) const { heif_image_handle_release(handle); }
    void operator()(heif_image *image) const { heif_image_release(image); }
    void operator()(heif_decoding_options *options) const { heif_decoding_options_free(options); }
};
template <typename T>
using Owned = std::unique_ptr<T, Release>;

// Lends libheif's decoded picture to OpenCV instead of copying it (a copy of a 12-megapixel
// picture costs about as much as a tenth of its decode): the Mat's last user releases it.
class HeifImageAllocator : public cv::MatAllocator
{
public:
    cv::UMatData *allocate(int, const int *, int, void *, size_t *, cv::AccessFlag, cv::UMatUsageFlags) const override
    {
        return nullptr; // lends, never allocates
    }
    bool allocate(cv::UMatData *, cv::AccessFlag, cv::UMatUsageFlags) const override { return false; }
    void deallocate(cv::UMatData *data) const override
    {
        heif_image_release(static_cast<heif_image *>(data->userdata));
        delete data;
    }
};

cv::Mat lent(heif_image *image, std::uint8_t *pixels, int width, int height, int stride)
{
    static HeifImageAllocator allocator;
    cv::Mat picture(height, width, CV_8UC3, pixels, std::size_t(stride));
    auto *data = new cv::UMatData(&allocator);
    data->data = data->origdata = pixels;
    data->size = std::size_t(stride) * std::size_t(height);
    data->userdata = image;
    data->refcount = 1;
    picture.u = data;
    picture.allocator = &allocator;
    return picture;
}

// Once per process, before the first decode: libheif looks for plugins in its folder then.
bool heifInitialised()
{
    static const bool initialised = heif_init(nullptr).code == heif_error_Ok;
    return initialised;
}

} // namespace

bool startsLikeHeif(const unsigned char *bytes, std::size_t size)
{
    if (size < 12 || std::memcmp(bytes + 4, "ftyp", 4) != 0)
        return false;
    if (isHeifBrand(bytes + 8))
        return true;
    // Compatible brands follow the minor version, to the end of the box.
    const std::size_t boxEnd = std::min<std::size_t>(size, (std::size_t(bytes[0]) << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3]);
    for (std::size_t at = 16; at + 4 <= boxEnd; at += 4)
        if (isHeifBrand(bytes + at))
            return true;
    return false;
}

DecodedPicture decodeHeifRows(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress)
{
    if (!heifInitialised())
        return {};
    const Owned<heif_context> context(heif_context_alloc());
    if (!context)
        return {};
    FileReader state{file};
    static const heif_reader reader = readerOver();
    if (heif_context_read_from_reader(context.get(), &reader, &state, nullptr).code != heif_error_Ok)
        return {};
    heif_image_handle *primary = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
        return {};
    const Owned<heif_image_handle> handle(primary);
    if (progress && progress->cancelled)
        return {};

    heif_context_set_max_decoding_threads(context.get(), coresForBands());
    const Owned<heif_decoding_options> options(heif_decoding_options_alloc());
    options->ignore_transformations = 0;
    if (progress) {
        options->progress_user_data = progress;
        options->start_progress = [](heif_progress_step, int most, void *user) {
            auto *progress = static_cast<LoadProgress *>(user);
            progress->rowsDone = 0;
            progress->rowsToGo = most;
        };
        options->on_progress = [](heif_progress_step, int done, void *user) {
            static_cast<LoadProgress *>(user)->rowsDone = done;
        };
    }
    // Asked for 8-bit RGB, libheif gives deeper samples' high 8 bits and leaves alpha out.
    heif_image *decoded = nullptr;
    if (heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, options.get()).code
        != heif_error_Ok)
        return {};
    Owned<heif_image> image(decoded);
    // The picture is the one decoded, at its size, which the size limits apply to. The handle's size
    // can differ: libheif works it out from the crop (clap) as the file states it, but crops the
    // picture no further than its edges.
    int stride = 0;
    std::uint8_t *pixels = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || width <= 0 || height <= 0 || !withinLibraryLimits(unsigned(width), unsigned(height))
        || heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        return {};
    if (progress && progress->cancelled)
        return {};
    cv::Mat picture = lent(image.release(), pixels, width, height, stride);
    if (!rowsToRead) {
        cv::cvtColor(picture, picture, cv::COLOR_RGB2BGR); // in place
        return {picture, {}};
    }
    // Only the rows that will be read are turned to BGR; the others are never looked at.
    std::vector<int> rows = rowsToRead(picture.size());
    for (const int row : rows) {
        cv::Mat line = picture.row(row);
        cv::cvtColor(line, line, cv::COLOR_RGB2BGR);
    }
    return {picture, std::move(rows)};
}

cv::Mat decodeHeif(const PictureFile &file, LoadProgress *progress)
{
    return decodeHeifRows(file, nullptr, progress).pixels;
}

void prepareHeifDecoding()
{
    heifInitialised();
}
