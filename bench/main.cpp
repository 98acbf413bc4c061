// Measures the program's hot paths against the library calls they are compared to, in one run.
#include "benchmarks.h"

int main()
{
    benchWeightedGray();
    return 0;
}
