// Compiled once per instruction set, with WEIGHTED_GRAY_ISA naming the namespace.
#include "weighted_gray_kernels.h"
#include "weighted_gray.h"

#ifdef __AVX2__
#include <immintrin.h> // the wide intrinsics need it before OpenCV's headers
#endif
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <array>
#include <cstdint>

namespace weighted_gray_detail {
namespace WEIGHTED_GRAY_ISA {

namespace {

// Rows are converted a stretch at a time: its pixels are read, their gray values settled in a
// small buffer, then written back, all while the stretch is still in the first-level cache.
constexpr int stretchPixels = 2048;

// Gray values of one stretch of pixels: the integer fast path for every pixel, then the
// formula itself for the few pixels the fast path cannot decide.
void grayOfStretch(const unsigned char *pixels, int count, unsigned char *gray);

void writeGray(unsigned char *pixels, int count, const unsigned char *gray);

#if CV_SIMD
constexpr int lanes = cv::v_uint8::nlanes;
static_assert(lanes <= 64, "lane masks are 64 bits wide");
// Exceptional lanes of one vector whose positions are noted for the scalar formula; a vector
// with more of them is recomputed whole in vector doubles.
constexpr int sparseLanes = 2;

int lowestSetBit(std::uint64_t bits)
{
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanForward64(&index, bits);
    return static_cast<int>(index);
#else
    return __builtin_ctzll(bits);
#endif
}

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

#if CV_AVX2
// A neutral gray (equal channels) has t = 100 v, so it is always a hard pixel, and which of the
// 256 come out one lower follows no pattern. A 256-bit table of them is looked up 32 lanes at a
// time with the byte shuffle, which the universal intrinsics do not offer.
class NeutralGrays
{
public:
    NeutralGrays()
    {
        static const std::array<unsigned char, 32> lowerOnes = [] {
            std::array<unsigned char, 32> bits{};
            for (int value = 0; value < 256; ++value)
                if (weightedGrayOf(value, value, value) != value)
                    bits[value >> 3] |= 1 << (value & 7);
            return bits;
        }();
        // The shuffle looks up within each 128-bit half, so each table fills both halves.
        firstSixteen = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(&lowerOnes[0])));
        lastSixteen = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(&lowerOnes[16])));
        bitOfIndex = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,
                                      1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    }

    cv::v_uint8 grayOf(const cv::v_uint8 &value) const
    {
        const __m256i byteIndex = _mm256_and_si256(_mm256_srli_epi16(value.val, 3), _mm256_set1_epi8(0x1f));
        // An index with its top bit set looks up zero: indices 16 to 31 are pushed there for
        // the first table, 0 to 15 wrap there for the second.
        const __m256i fromFirst = _mm256_shuffle_epi8(firstSixteen, _mm256_adds_epu8(byteIndex, _mm256_set1_epi8(0x70)));
        const __m256i fromLast = _mm256_shuffle_epi8(lastSixteen, _mm256_sub_epi8(byteIndex, _mm256_set1_epi8(16)));
        const __m256i bit = _mm256_shuffle_epi8(bitOfIndex, _mm256_and_si256(value.val, _mm256_set1_epi8(7)));
        const __m256i isLower = _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_or_si256(fromFirst, fromLast), bit), bit);
        return cv::v_uint8(_mm256_add_epi8(value.val, isLower)); // all ones is minus one
    }

private:
    __m256i firstSixteen, lastSixteen, bitOfIndex;
};
#endif

void grayOfStretch(const unsigned char *pixels, int count, unsigned char *gray)
{
    const cv::v_uint16 redWeight = cv::vx_setall_u16(30);
    const cv::v_uint16 greenWeight = cv::vx_setall_u16(59);
    const cv::v_uint16 blueWeight = cv::vx_setall_u16(11);
    const cv::v_uint16 hundred = cv::vx_setall_u16(100);
    // (t * 5243) >> 19 == t / 100 for every t up to 25500.
    const cv::v_uint16 reciprocal = cv::vx_setall_u16(5243);
    const std::uint64_t allLanes = lanes == 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << lanes) - 1;
    const std::uint64_t lastLane = std::uint64_t(1) << (lanes - 1);
#if CV_AVX2
    const NeutralGrays neutralGrays;
#endif

    // Positions of the pixels the integer path cannot decide; the slots past the last one
    // are written and never read.
    short exceptions[stretchPixels / lanes * sparseLanes + sparseLanes];
    int exceptionCount = 0;

    int k = 0;
    for (; k <= count - lanes; k += lanes) {
        cv::v_uint8 blue, green, red;
        cv::v_load_deinterleave(pixels + 3 * k, blue, green, red);

        cv::v_uint16 blueLow, blueHigh, greenLow, greenHigh, redLow, redHigh;
        cv::v_expand(blue, blueLow, blueHigh);
        cv::v_expand(green, greenLow, greenHigh);
        cv::v_expand(red, redLow, redHigh);
        // The library's * and + saturate at 16 bits; t never exceeds 25500, so wrapping ones suffice.
        const cv::v_uint16 tLow = cv::v_add_wrap(cv::v_add_wrap(cv::v_mul_wrap(redLow, redWeight),
                                                                cv::v_mul_wrap(greenLow, greenWeight)),
                                                 cv::v_mul_wrap(blueLow, blueWeight));
        const cv::v_uint16 tHigh = cv::v_add_wrap(cv::v_add_wrap(cv::v_mul_wrap(redHigh, redWeight),
                                                                 cv::v_mul_wrap(greenHigh, greenWeight)),
                                                  cv::v_mul_wrap(blueHigh, blueWeight));
        const cv::v_uint16 grayLow = cv::v_mul_hi(tLow, reciprocal) >> 3;
        const cv::v_uint16 grayHigh = cv::v_mul_hi(tHigh, reciprocal) >> 3;
        cv::v_uint8 grayBytes = cv::v_pack(grayLow, grayHigh);

        // Lanes whose t is a whole hundred may come out one lower: about one pixel in a
        // hundred of a photograph, every pixel of a neutral gray.
        cv::v_uint8 exceptional = cv::v_pack(cv::v_mul_wrap(grayLow, hundred) == tLow,
                                             cv::v_mul_wrap(grayHigh, hundred) == tHigh);
#if CV_AVX2
        const cv::v_uint8 neutral = (blue == green) & (green == red);
        grayBytes = cv::v_select(neutral, neutralGrays.grayOf(blue), grayBytes);
        exceptional = exceptional & ~neutral;
#endif
        cv::v_store(gray + k, grayBytes);

        // The positions of the others are written without branching, so that their scattered
        // places cost no mispredictions.
        std::uint64_t mask = static_cast<std::uint64_t>(cv::v_signmask(exceptional)) & allLanes;
        for (int slot = 0; slot < sparseLanes; ++slot) {
            // The last lane's bit stands in when none is left; its slot is then not counted.
            exceptions[exceptionCount] = static_cast<short>(k + lowestSetBit(mask | lastLane));
            exceptionCount += mask != 0;
            mask &= mask - 1;
        }
        if (mask != 0) {
            exceptionCount -= sparseLanes;
            cv::v_store(gray + k, cv::v_pack(formulaInDoubles(blueLow, greenLow, redLow),
                                             formulaInDoubles(blueHigh, greenHigh, redHigh)));
        }
    }
    for (; k < count; ++k) {
        const unsigned char *pixel = pixels + 3 * k;
        gray[k] = weightedGrayOf(pixel[0], pixel[1], pixel[2]);
    }
    for (int i = 0; i < exceptionCount; ++i) {
        const unsigned char *pixel = pixels + 3 * exceptions[i];
        gray[exceptions[i]] = weightedGrayOf(pixel[0], pixel[1], pixel[2]);
    }
}

void writeGray(unsigned char *pixels, int count, const unsigned char *gray)
{
    int k = 0;
    for (; k <= count - lanes; k += lanes) {
        const cv::v_uint8 value = cv::vx_load(gray + k);
        cv::v_store_interleave(pixels + 3 * k, value, value, value);
    }
    for (; k < count; ++k)
        pixels[3 * k] = pixels[3 * k + 1] = pixels[3 * k + 2] = gray[k];
}
#else
void grayOfStretch(const unsigned char *pixels, int count, unsigned char *gray)
{
    for (int k = 0; k < count; ++k)
        gray[k] = weightedGrayOf(pixels[3 * k], pixels[3 * k + 1], pixels[3 * k + 2]);
}

void writeGray(unsigned char *pixels, int count, const unsigned char *gray)
{
    for (int k = 0; k < count; ++k)
        pixels[3 * k] = pixels[3 * k + 1] = pixels[3 * k + 2] = gray[k];
}
#endif

} // namespace

void convertRows(unsigned char *firstRow, std::size_t step, int rows, int cols)
{
    unsigned char gray[stretchPixels];
    for (int i = 0; i < rows; ++i) {
        unsigned char *row = firstRow + i * step;
        for (int start = 0; start < cols; start += stretchPixels) {
            const int count = std::min(stretchPixels, cols - start);
            unsigned char *pixels = row + 3 * start;
            grayOfStretch(pixels, count, gray);
            writeGray(pixels, count, gray);
        }
    }
#if CV_SIMD
    cv::vx_cleanup();
#endif
}

} // namespace WEIGHTED_GRAY_ISA
} // namespace weighted_gray_detail
