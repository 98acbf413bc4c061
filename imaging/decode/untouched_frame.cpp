#include "untouched_frame.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "untouched_pages.h"

namespace {

constexpr std::uint64_t smallFrameBytes = 8 << 20;

class UntouchedPagesAllocator : public cv::MatAllocator
{
public:
    cv::UMatData *allocate(int dims, const int *sizes, int type, void *data, size_t *step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        CV_Assert(!data);
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step)
                step[i] = total;
            total *= static_cast<size_t>(sizes[i]);
        }
        void *pages = allocateUntouchedPages(total);
        if (!pages)
            throw std::bad_alloc();
        auto *u = new cv::UMatData(this);
        u->data = u->origdata = static_cast<uchar *>(pages);
        u->size = total;
        return u;
    }

    bool allocate(cv::UMatData *u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData *u) const override
    {
        if (!u)
            return;
        freeUntouchedPages(u->origdata, u->size);
        delete u;
    }
};

// Only plain numbers are read; anything else makes the limit unknown.
std::optional<std::uint64_t> sizeLimit(const char *variable, std::uint64_t byDefault)
{
    const char *value = std::getenv(variable);
    if (!value)
        return byDefault;
    if (*value == '\0' || std::strlen(value) > 18)
        return std::nullopt;
    for (const char *c = value; *c; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return std::nullopt;
    return static_cast<std::uint64_t>(std::strtoull(value, nullptr, 10));
}

} // namespace

cv::Mat untouchedFrame(int rows, int cols)
{
    // A frame this small comes from the heap, whose pages the previous ones have already taken.
    if (std::uint64_t(rows) * std::uint64_t(cols) * 3 <= smallFrameBytes)
        return cv::Mat(rows, cols, CV_8UC3);
    static UntouchedPagesAllocator allocator;
    cv::Mat frame;
    frame.allocator = &allocator;
    frame.create(rows, cols, CV_8UC3);
    return frame;
}

bool withinLibraryLimits(std::uint64_t width, std::uint64_t height)
{
    static const auto maxWidth = sizeLimit("OPENCV_IO_MAX_IMAGE_WIDTH", 1 << 20);
    static const auto maxHeight = sizeLimit("OPENCV_IO_MAX_IMAGE_HEIGHT", 1 << 20);
    static const auto maxPixels = sizeLimit("OPENCV_IO_MAX_IMAGE_PIXELS", 1 << 30);
    return maxWidth && maxHeight && maxPixels && width > 0 && height > 0 && width <= *maxWidth
           && height <= *maxHeight && width * height <= *maxPixels;
}
