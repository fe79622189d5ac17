// AVX2 variants of the colour conversion.
#define KALMIX_CONVERSION_SUFFIX avx2
#include "pipeline/dsp/x86/conversion_rows_256.inc"
