// A private Windows directory for one test: a fresh temporary directory named
// by WINDIR, where the module writes its state file when it is unloaded.
// Removed, and WINDIR unset, when the test is done.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kalmix::testing {

class PrivateWindowsDirectory {
public:
    PrivateWindowsDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kalmix-windir-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        setenv("WINDIR", pattern.c_str(), 1);
    }
    ~PrivateWindowsDirectory() {
        unsetenv("WINDIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PrivateWindowsDirectory(const PrivateWindowsDirectory&) = delete;
    PrivateWindowsDirectory& operator=(const PrivateWindowsDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path statePath() const { return path_ / "KALMIX_STAT.bin"; }

private:
    std::filesystem::path path_;
};

}  // namespace kalmix::testing
