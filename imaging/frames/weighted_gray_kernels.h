#ifndef WEIGHTED_GRAY_KERNELS_H
#define WEIGHTED_GRAY_KERNELS_H

#include <cstddef>

// The weighted gray, vectorised and still exact.
//
// With t = 30 R + 59 G + 11 B the exact value is t / 100, and the double-precision formula
// truncates to t / 100 whenever t is not a whole hundred: its rounding errors are far smaller
// than the distance to the next whole number. Only at a whole hundred can the formula land
// just below it and come out one lower, so pixels there are recomputed with the formula itself:
// one by one where they are scattered, as in photographs, and in vector doubles, which round
// exactly as the scalar ones do, where a vector holds several. Neutral grays, hard pixels all,
// are looked up in a table of the formula's results where the instruction set can do that a
// vector at a time (AVX2).
namespace weighted_gray_detail {

// One build of the kernel per instruction set; the caller picks what the processor runs.
namespace baseline {
void convertRows(unsigned char *firstRow, std::size_t step, int rows, int cols);
}
namespace avx2 {
void convertRows(unsigned char *firstRow, std::size_t step, int rows, int cols);
}

bool processorHasAvx2();

} // namespace weighted_gray_detail

#endif
