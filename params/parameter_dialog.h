// The parameter dialog "Filtration Parameters" (template 101).
#pragma once

namespace kalmix {

// Runs the dialog modally over the host's window. OK stores the five control
// values into the working parameters and derives the thresholds; anything
// else changes nothing.
void runParameterDialog();

}  // namespace kalmix
