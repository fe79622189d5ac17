// The analysis pass: runs every analysis stage of a frame in its fixed order,
// through the variant chosen for the active instruction-set level.
#include "analysis/analysis.h"
#include "analysis/dsp/analysis_dsp.h"

namespace kalmix {

void analyseFrame() { analysisRoutines.analysePass(); }

}  // namespace kalmix
