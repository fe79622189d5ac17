#include "tools/kalmix/program_files.h"

#include <cstdlib>
#include <filesystem>

namespace kalmix::tool {

std::string programFilePath(const char* variable, const char* name, const std::string& buildPath) {
    if (const char* path = std::getenv(variable); path != nullptr && *path != '\0') return path;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = (self.parent_path() / KALMIX_PKGLIB_FROM_BIN / name).lexically_normal();
        if (std::filesystem::exists(installed, error)) return installed.string();
    }
    if (std::filesystem::exists(buildPath, error)) return buildPath;
    if (!self.empty()) {
        const auto beside = self.parent_path() / name;
        if (std::filesystem::exists(beside, error)) return beside.string();
    }
    return buildPath;
}

}  // namespace kalmix::tool
