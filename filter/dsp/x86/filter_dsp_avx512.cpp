// AVX-512 variant of the output filter's row routine: the AVX2 steps, built
// with the AVX-512 instruction set (32 vector registers, the EVEX forms).
#define KALMIX_FILTER_ROW_ENTRY filterRow_avx512
#include "filter/dsp/x86/filter_row_256.inc"
