// What the fuzz targets share: reading values off the fuzzer's bytes, a
// check that stops the run, and a private Windows directory for the state
// file.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kalmix::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::size_t left() const { return size_ - at_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::int32_t small() { return static_cast<std::int8_t>(byte()); }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    // A frame side in -8..limit - 9: negative and zero sides included.
    std::int32_t side(int limit) { return word() % limit - 8; }
    // The rest of the bytes.
    const std::uint8_t* rest(std::size_t& size) {
        size = left();
        const std::uint8_t* at = data_ + at_;
        at_ = size_;
        return at;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

inline void check(bool condition) {
    if (!condition) std::abort();
}

// A fresh directory named by WINDIR, for the run's lifetime; in memory where
// the machine has /dev/shm, so that flushing saves to disk costs nothing.
inline std::string privateWindowsDirectory() {
    static const std::string directory = [] {
        std::string pattern = "/dev/shm/kalmix-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            pattern = "/tmp/kalmix-fuzz-XXXXXX";
            check(mkdtemp(pattern.data()) != nullptr);
        }
        setenv("WINDIR", pattern.c_str(), 1);
        return pattern;
    }();
    static const bool removedAtExit = [] {
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(directory, ignored);
        });
        return true;
    }();
    (void)removedAtExit;
    return directory;
}

}  // namespace kalmix::fuzz
