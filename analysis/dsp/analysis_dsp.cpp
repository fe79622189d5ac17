// The routine table of the analysis pass: the plain reference until a faster
// variant is chosen for the active instruction-set level.
#include "pipeline/cpu.h"

namespace kalmix {

void selectAnalysisRoutines(CpuLevel level) { (void)level; }

}  // namespace kalmix
