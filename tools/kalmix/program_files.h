// Where kalmix finds the files it loads at run time (the module, its FFmpeg
// side): one rule, so that an installed kalmix takes its own files wherever
// its prefix lies, and a build takes the build's.
#pragma once

#include <string>

namespace kalmix::tool {

// $variable when set, else `name` in the installed library folder as seen
// from the program (lib/kalmix/ beside bin/), else buildPath when it exists,
// else `name` beside the program, else buildPath (for the error to name).
std::string programFilePath(const char* variable, const char* name, const std::string& buildPath);

}  // namespace kalmix::tool
