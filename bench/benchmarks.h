#ifndef BENCHMARKS_H
#define BENCHMARKS_H

// Each prints its measurements and the ratios they give, as "name: ratio" lines.
void benchWeightedGray();
void benchLoadAndReblur(); // needs a QApplication
void benchStartup();
void benchFirstLoad(); // the real program on an X server of its own

#endif
