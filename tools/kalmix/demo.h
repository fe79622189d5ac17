// kalmix demo: filters the built-in noisy clip and reports what the filter
// did to it, with a comparison picture.
#pragma once

#include "tools/host/plugin_host.h"
#include "tools/kalmix/cli_options.h"

namespace kalmix::tool {

// Writes noisy.mkv, clean.mkv, filtered.mkv, comparison.png and
// animation.apng into options.demoDir and prints the report on standard
// output unless quiet. Files already at those names are replaced only as
// options.overwrite allows. Throws ToolError.
void runDemo(const Options& options, host::PluginModule& module);

}  // namespace kalmix::tool
