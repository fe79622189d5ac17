// Fuzzes the tool's raw-frame reader on files and pipes of any length and
// frame size: it gives exactly the whole frames, byte for byte, and a
// trailing partial frame is either refused with the tool's error or, when
// allowed, dropped and counted.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/kalmix/raw_io.h"

namespace {

using kalmix::fuzz::check;
using kalmix::fuzz::Input;
std::string directory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    directory = kalmix::fuzz::privateWindowsDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const int width = 1 + in.byte() % 8;
    const int height = 1 + in.byte() % 4;
    const bool allowPartial = (flags & 1) != 0;
    const bool pipe = (flags & 2) != 0;
    std::size_t length = 0;
    const std::uint8_t* body = in.rest(length);
    const std::size_t frameBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    const std::size_t whole = length / frameBytes;
    const std::size_t leftover = length % frameBytes;

    std::string path = directory + "/in.raw";
    int fds[2] = {-1, -1};
    if (pipe) {
        // The reader sees /dev/fd/N of a pipe: no size known in advance. The
        // pipe holds the whole input (runs keep inputs below its 64 KiB).
        check(length <= 65536 && ::pipe(fds) == 0);
        path = "/dev/fd/" + std::to_string(fds[0]);
        check(length == 0 || ::write(fds[1], body, length) == static_cast<ssize_t>(length));
        ::close(fds[1]);
    } else {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        check(fd >= 0);
        check(length == 0 || ::write(fd, body, length) == static_cast<ssize_t>(length));
        ::close(fd);
    }

    std::vector<std::uint8_t> got;
    bool refused = false;
    try {
        kalmix::tool::RawReader reader(path, width, height, allowPartial);
        std::vector<std::uint8_t> frame(frameBytes);
        kalmix::tool::FrameInfo info;
        while (reader.read(frame.data(), info)) {
            check(info.pts == static_cast<std::int64_t>(got.size() / frameBytes));
            got.insert(got.end(), frame.begin(), frame.end());
        }
        if (leftover != 0) check(reader.droppedBytes() == leftover);
    } catch (const kalmix::tool::ToolError& error) {
        refused = true;
        check(std::strstr(error.what(), "not a whole number") != nullptr);
    }
    if (fds[0] >= 0) ::close(fds[0]);

    check(refused == (leftover != 0 && !allowPartial));
    if (!refused) {
        check(got.size() == whole * frameBytes);
        check(got.empty() || std::memcmp(got.data(), body, got.size()) == 0);
    }
    return 0;
}
