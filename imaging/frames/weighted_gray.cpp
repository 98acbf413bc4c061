#include "weighted_gray.h"
#include "weighted_gray_kernels.h"

#include <opencv2/core/utility.hpp>

namespace weighted_gray_detail {

bool processorHasAvx2()
{
    static const bool hasAvx2 = cv::checkHardwareSupport(CV_CPU_AVX2);
    return hasAvx2;
}

} // namespace weighted_gray_detail

namespace {

bool convertible(const cv::Mat &frame)
{
    return frame.type() == CV_8UC3 && frame.rows > 0 && frame.cols > 0 && frame.dims == 2;
}

} // namespace

void weightedGray(cv::Mat &frame)
{
    using namespace weighted_gray_detail;
    if (!convertible(frame))
        return;
    const auto convertRows = processorHasAvx2() ? avx2::convertRows : baseline::convertRows;
    const std::size_t step = frame.step[0];
    const cv::Range allRows(0, frame.rows);
    // Stripes of about a megapixel keep both cores busy on photographs and skip threads for small frames.
    const double stripes = static_cast<double>(frame.total()) / (1 << 20);
    cv::parallel_for_(allRows, [&](const cv::Range &rows) {
        convertRows(frame.ptr(rows.start), step, rows.size(), frame.cols);
    }, stripes);
}

void weightedGrayReference(cv::Mat &frame)
{
    if (!convertible(frame))
        return;
    for (int i = 0; i < frame.rows; ++i) {
        unsigned char *row = frame.ptr(i);
        for (int k = 0; k < frame.cols; ++k) {
            unsigned char *pixel = row + 3 * k;
            const unsigned char gray = weightedGrayOf(pixel[0], pixel[1], pixel[2]);
            pixel[0] = pixel[1] = pixel[2] = gray;
        }
    }
}
