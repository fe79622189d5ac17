// AVX-512 variants of the colour conversion: the AVX2 steps, built with the
// AVX-512 instruction set (the EVEX forms, 32 vector registers).
#define KALMIX_CONVERSION_SUFFIX avx512
#include "pipeline/dsp/x86/conversion_rows_256.inc"
