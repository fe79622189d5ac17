// The routine table of the colour conversion: the plain reference until a faster
// variant is chosen for the active instruction-set level.
#include "pipeline/cpu.h"

namespace kalmix {

void selectConversionRoutines(CpuLevel level) { (void)level; }

}  // namespace kalmix
