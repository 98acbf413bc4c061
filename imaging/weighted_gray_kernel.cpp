// Compiled once per instruction set, with WEIGHTED_GRAY_ISA naming the namespace.
#include "weighted_gray_kernels.h"
#include "weighted_gray.h"

#ifdef __AVX2__
#include <immintrin.h> // the wide intrinsics need it before OpenCV's headers
#endif
#include <opencv2/core/hal/intrin.hpp>

namespace weighted_gray_detail {
namespace WEIGHTED_GRAY_ISA {

#if CV_SIMD
namespace {

// The formula for the lanes of one 32-bit group, in the order it is written.
cv::v_int32 formulaInDoubles(const cv::v_uint32 &blue, const cv::v_uint32 &green, const cv::v_uint32 &red)
{
    const cv::v_float64 redWeight = cv::vx_setall_f64(0.3);
    const cv::v_float64 greenWeight = cv::vx_setall_f64(0.59);
    const cv::v_float64 blueWeight = cv::vx_setall_f64(0.11);
    const cv::v_int32 b = cv::v_reinterpret_as_s32(blue);
    const cv::v_int32 g = cv::v_reinterpret_as_s32(green);
    const cv::v_int32 r = cv::v_reinterpret_as_s32(red);
    const cv::v_float64 low = (cv::v_cvt_f64(r) * redWeight + cv::v_cvt_f64(g) * greenWeight)
                              + cv::v_cvt_f64(b) * blueWeight;
    const cv::v_float64 high = (cv::v_cvt_f64_high(r) * redWeight + cv::v_cvt_f64_high(g) * greenWeight)
                               + cv::v_cvt_f64_high(b) * blueWeight;
    return cv::v_combine_low(cv::v_trunc(low), cv::v_trunc(high));
}

cv::v_uint16 formulaInDoubles(const cv::v_uint16 &blue, const cv::v_uint16 &green, const cv::v_uint16 &red)
{
    cv::v_uint32 blueLow, blueHigh, greenLow, greenHigh, redLow, redHigh;
    cv::v_expand(blue, blueLow, blueHigh);
    cv::v_expand(green, greenLow, greenHigh);
    cv::v_expand(red, redLow, redHigh);
    return cv::v_pack_u(formulaInDoubles(blueLow, greenLow, redLow), formulaInDoubles(blueHigh, greenHigh, redHigh));
}

} // namespace
#endif

void convertRows(unsigned char *firstRow, std::size_t step, int rows, int cols)
{
#if CV_SIMD
    constexpr int lanes = cv::v_uint8::nlanes;
    const cv::v_uint16 redWeight = cv::vx_setall_u16(30);
    const cv::v_uint16 greenWeight = cv::vx_setall_u16(59);
    const cv::v_uint16 blueWeight = cv::vx_setall_u16(11);
    const cv::v_uint16 hundred = cv::vx_setall_u16(100);
    // (t * 5243) >> 19 == t / 100 for every t up to 25500.
    const cv::v_uint16 reciprocal = cv::vx_setall_u16(5243);
#endif
    for (int i = 0; i < rows; ++i) {
        unsigned char *row = firstRow + i * step;
        int k = 0;
#if CV_SIMD
        for (; k <= cols - lanes; k += lanes) {
            unsigned char *pixels = row + 3 * k;
            cv::v_uint8 blue, green, red;
            cv::v_load_deinterleave(pixels, blue, green, red);

            cv::v_uint16 blueLow, blueHigh, greenLow, greenHigh, redLow, redHigh;
            cv::v_expand(blue, blueLow, blueHigh);
            cv::v_expand(green, greenLow, greenHigh);
            cv::v_expand(red, redLow, redHigh);
            const cv::v_uint16 tLow = redLow * redWeight + greenLow * greenWeight + blueLow * blueWeight;
            const cv::v_uint16 tHigh = redHigh * redWeight + greenHigh * greenWeight + blueHigh * blueWeight;
            cv::v_uint16 grayLow = cv::v_mul_hi(tLow, reciprocal) >> 3;
            cv::v_uint16 grayHigh = cv::v_mul_hi(tHigh, reciprocal) >> 3;

            // Lanes whose t is a whole hundred may come out one lower: about one pixel in a
            // hundred of a photograph, every pixel of a neutral gray.
            const cv::v_uint16 exceptionLow = grayLow * hundred == tLow;
            const cv::v_uint16 exceptionHigh = grayHigh * hundred == tHigh;
            if (cv::v_check_any(exceptionLow | exceptionHigh)) {
                if (cv::v_check_any(exceptionLow))
                    grayLow = formulaInDoubles(blueLow, greenLow, redLow);
                if (cv::v_check_any(exceptionHigh))
                    grayHigh = formulaInDoubles(blueHigh, greenHigh, redHigh);
            }
            const cv::v_uint8 gray = cv::v_pack(grayLow, grayHigh);
            cv::v_store_interleave(pixels, gray, gray, gray);
        }
#endif
        for (; k < cols; ++k) {
            unsigned char *pixel = row + 3 * k;
            pixel[0] = pixel[1] = pixel[2] = weightedGrayOf(pixel[0], pixel[1], pixel[2]);
        }
    }
#if CV_SIMD
    cv::vx_cleanup();
#endif
}

} // namespace WEIGHTED_GRAY_ISA
} // namespace weighted_gray_detail
