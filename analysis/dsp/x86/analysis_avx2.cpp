// The row-wise analysis pass, built for AVX2.
#define KALMIX_ANALYSIS_NAMESPACE avx2
#define KALMIX_ANALYSIS_ENTRY analysePass_avx2
#include "analysis/dsp/x86/analysis_rows.inc"
