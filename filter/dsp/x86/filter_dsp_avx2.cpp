// AVX2 variant of the output filter's row routine.
#define KALMIX_FILTER_ROW_ENTRY filterRow_avx2
#include "filter/dsp/x86/filter_row_256.inc"
