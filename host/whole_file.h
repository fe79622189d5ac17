// The module's writer of whole files, for the state file: POSIX calls or
// the Windows C runtime and MoveFileExA.
#pragma once

#include "host/state_file.h"

namespace kalmix {

WholeFileResult writeWholeFile(const char* path, const FilePart* parts, std::size_t count);

}  // namespace kalmix
