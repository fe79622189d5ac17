// The routine table of the block output filter: the plain reference until a faster
// variant is chosen for the active instruction-set level.
#include "pipeline/cpu.h"

namespace kalmix {

void selectFilterRoutines(CpuLevel level) { (void)level; }

}  // namespace kalmix
