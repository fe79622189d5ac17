// Fuzzes reading the state file back: any length and bytes, or a header that
// passes the resume test for the next frame followed by a body of any length
// (cut short, whole, or longer), then a few resumed frames. The reads must
// stay inside every buffer and a short file must start afresh.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/host_records.h"
#include "host/state_file.h"
#include "pipeline/frame_driver.h"

namespace {

using kalmix::fuzz::check;
using kalmix::fuzz::Input;

constexpr std::size_t HEADER = 16;
std::string directory;

bool windowsDirectory(char* buffer, std::uint32_t size) {
    return std::snprintf(buffer, size, "%s", directory.c_str()) < static_cast<int>(size);
}

void putLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::int16_t executeAt(std::int32_t width, std::int32_t height, std::int32_t position, std::int32_t clipTotal,
                       std::vector<std::uint8_t>& source, std::vector<std::uint8_t>& destination) {
    HostFrame sourceFrame{{0, 0, width, height}, {}, source.data()};
    HostFrame destinationFrame{{0, 0, width, height}, {}, destination.data()};
    HostFrame* sourcePtr = &sourceFrame;
    HostFrame* destinationPtr = &destinationFrame;
    HostFrameRequest request{nullptr, &sourcePtr, &destinationPtr, position, clipTotal};
    return kalmix::executeFrame(request);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    directory = kalmix::fuzz::privateWindowsDirectory();
    kalmix::setStateFileServices({windowsDirectory, [](const char*, const char*) {}, '/', nullptr});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t mode = in.byte();
    const std::int32_t position = in.byte() % 100 + 10;  // above 0: the file is consulted
    const std::int32_t clipTotal = in.small();
    const std::int32_t width = 4 * (1 + in.byte() % 24);
    const std::int32_t height = 4 * (1 + in.byte() % 18);
    std::size_t restSize = 0;
    const std::uint8_t* rest = in.rest(restSize);

    std::vector<std::uint8_t> file;
    bool passes = false;
    if ((mode & 3) == 0) {
        file.assign(rest, rest + restSize);  // anything at all
    } else {
        // A header that passes the resume test; the body is the input's
        // bytes repeated to a length around the full size.
        static const std::size_t lengths[] = {HEADER, HEADER + 1, kalmix::STATE_FILE_SIZE - 1, kalmix::STATE_FILE_SIZE,
                                              kalmix::STATE_FILE_SIZE + 7};
        file.resize(lengths[(mode >> 2) % 5]);
        for (std::size_t i = HEADER; i < file.size(); ++i) file[i] = restSize == 0 ? 0 : rest[i % restSize];
        putLe32(file, 0, static_cast<std::uint32_t>(position - 1 - (mode >> 5) % 6));
        putLe32(file, 4, 0xFFFFFFF0u + (mode >> 5));
        putLe32(file, 8, static_cast<std::uint32_t>(clipTotal));
        putLe32(file, 12, static_cast<std::uint32_t>(std::time(nullptr)));
        passes = true;
    }
    const std::string path = directory + "/" + kalmix::STATE_FILE_NAME;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    check(out != nullptr);
    check(std::fwrite(file.data(), 1, file.size(), out) == file.size());
    check(std::fclose(out) == 0);

    kalmix::sequenceActive = 0;  // as a newly loaded module
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    std::vector<std::uint8_t> source(bytes), destination(bytes);
    for (std::size_t i = 0; i < bytes; ++i) source[i] = static_cast<std::uint8_t>(i * 7 + mode);
    const std::uint32_t before = kalmix::processedFrameCount;
    check(executeAt(width, height, position, clipTotal, source, destination) == 0);
    // A whole file resumes and its count goes on; a short one starts afresh.
    const bool whole = file.size() >= kalmix::STATE_FILE_SIZE;
    if (passes) check(kalmix::stateHeader.savedFrameCount == (whole ? 0xFFFFFFF1u + (mode >> 5) : before + 1));
    for (int frame = 1; frame <= 3; ++frame) {
        check(executeAt(width, height, position + frame, clipTotal, source, destination) == 0);
        for (std::size_t i = 3; i < bytes; i += 4) check(destination[i] == source[i]);
    }
    kalmix::saveState();
    return 0;
}
