// The row-wise analysis pass, built for SSE2.
#define KALMIX_ANALYSIS_NAMESPACE sse2
#define KALMIX_ANALYSIS_ENTRY analysePass_sse2
#include "analysis/dsp/x86/analysis_rows.inc"
