// The row-wise analysis pass, built for AVX-512: the AVX2 steps, which the
// compiler gives 32 vector registers (far fewer spills in the long row loops)
// and the EVEX forms.
#define KALMIX_ANALYSIS_NAMESPACE avx512
#define KALMIX_ANALYSIS_ENTRY analysePass_avx512
#include "analysis/dsp/x86/analysis_rows.inc"
