// Fuzzes the tool's option parser with any argument lists (the input split at
// NUL bytes): it either accepts them with every value in its range, or gives
// one line of error, never both and never a crash.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/kalmix/cli_options.h"

using kalmix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    if (size == 0) args.clear();
    const kalmix::tool::ParseResult result = kalmix::tool::parseArguments(args);
    if (!result.ok()) {
        // One line, unless an argument quoted in it brings a line break of its own.
        bool argumentBreaks = false;
        for (const std::string& arg : args) argumentBreaks = argumentBreaks || arg.find('\n') != std::string::npos;
        check(argumentBreaks || result.error.find('\n') == std::string::npos);
        check(!result.error.empty());
        return 0;
    }
    const kalmix::tool::Options& o = result.options;
    const kalmix::host::UserSettings& s = o.settings;
    check(s.primaryLevel >= 0 && s.primaryLevel <= 10 && s.secondaryLevel >= 0 && s.secondaryLevel <= 10);
    check(s.transitionFrames >= 0 && s.transitionFrames <= 7 && s.uvLevel >= 0 && s.uvLevel <= 10);
    if (o.raw) check(o.rawWidth > 0 && o.rawHeight > 0);
    check(o.verify.empty() || o.verify.size() == 32);
    return 0;
}
