// Saving the temporal state at unload and reading it back to resume a clip.
#include "host/state_file.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "pipeline/frame_driver.h"
#include "pipeline/geometry.h"

namespace kalmix {

namespace {

constexpr std::uint32_t DIRECTORY_CAPACITY = 260;
constexpr std::size_t PATH_CAPACITY = DIRECTORY_CAPACITY + 32;
constexpr int CREATE_ATTEMPTS = 100;

StateFileServices services{};

// Forms the file's path; false when the Windows directory cannot be obtained.
bool statePath(char (&path)[PATH_CAPACITY]) {
    char directory[DIRECTORY_CAPACITY + 1] = {};
    if (services.windowsDirectory == nullptr ||
        !services.windowsDirectory(directory, DIRECTORY_CAPACITY)) {
        return false;
    }
    const int length =
        std::snprintf(path, PATH_CAPACITY, "%s%c%s", directory, services.pathSeparator, STATE_FILE_NAME);
    return length > 0 && static_cast<std::size_t>(length) < PATH_CAPACITY;
}

void showMessage(const char* text) {
    if (services.showMessage != nullptr) services.showMessage(text, MESSAGE_CAPTION);
}

// The header is little-endian on disk whatever the machine.
void encodeHeader(const StateHeader& header, unsigned char (&bytes)[sizeof(StateHeader)]) {
    const std::uint32_t fields[] = {static_cast<std::uint32_t>(header.lastFrameNumber),
                                    header.savedFrameCount,
                                    static_cast<std::uint32_t>(header.lastClipTotal),
                                    static_cast<std::uint32_t>(header.lastCallTime)};
    for (std::size_t f = 0; f < 4; ++f) {
        for (std::size_t i = 0; i < 4; ++i) {
            bytes[4 * f + i] = static_cast<unsigned char>(fields[f] >> (8 * i));
        }
    }
}

StateHeader decodeHeader(const unsigned char (&bytes)[sizeof(StateHeader)]) {
    std::uint32_t fields[4];
    for (std::size_t f = 0; f < 4; ++f) {
        fields[f] = static_cast<std::uint32_t>(bytes[4 * f]) |
                    static_cast<std::uint32_t>(bytes[4 * f + 1]) << 8 |
                    static_cast<std::uint32_t>(bytes[4 * f + 2]) << 16 |
                    static_cast<std::uint32_t>(bytes[4 * f + 3]) << 24;
    }
    return StateHeader{static_cast<std::int32_t>(fields[0]), fields[1],
                       static_cast<std::int32_t>(fields[2]), static_cast<std::int32_t>(fields[3])};
}

template <typename Buffer>
bool readWhole(std::FILE* file, Buffer& buffer) {
    return std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size();
}

// Opens the file for reading; false (after the message, when the directory is
// missing) if it cannot. A missing file is an ordinary case and stays silent.
std::FILE* openForReading() {
    char path[PATH_CAPACITY];
    if (!statePath(path)) {
        showMessage(LOAD_DIRECTORY_MESSAGE);
        return nullptr;
    }
    return std::fopen(path, "rb");
}

bool readHeader(std::FILE* file) {
    unsigned char bytes[sizeof(StateHeader)];
    if (std::fread(bytes, 1, sizeof(bytes), file) != sizeof(bytes)) return false;
    stateHeader = decodeHeader(bytes);
    return true;
}

}  // namespace

void setStateFileServices(const StateFileServices& newServices) { services = newServices; }

WholeFileResult writeWholeFilePortably(const char* path, const FilePart* parts, std::size_t count) {
    // "x": created exclusively, so nothing already at the name (a planted
    // link included) is opened. The name differs per call and per process.
    static unsigned serial = 0;
    const auto salt = static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(&serial) >> 4);
    char temporary[PATH_CAPACITY + 48];
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < CREATE_ATTEMPTS && file == nullptr; ++attempt) {
        const int length = std::snprintf(temporary, sizeof(temporary), "%s.%lx-%lx-%u.tmp", path, salt,
                                         static_cast<unsigned long>(std::time(nullptr)), ++serial);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(temporary)) return WholeFileResult::CannotCreate;
        file = std::fopen(temporary, "wbx");
    }
    if (file == nullptr) return WholeFileResult::CannotCreate;
    bool written = true;
    for (std::size_t i = 0; i < count && written; ++i) {
        written = std::fwrite(parts[i].data, 1, parts[i].size, file) == parts[i].size;
    }
    written = (std::fclose(file) == 0) && written;
    if (!written || std::rename(temporary, path) != 0) {
        std::remove(temporary);
        return WholeFileResult::CannotWrite;
    }
    return WholeFileResult::Written;
}

void saveState() {
    char path[PATH_CAPACITY];
    if (!statePath(path)) {
        showMessage(SAVE_DIRECTORY_MESSAGE);
        return;
    }
    unsigned char header[sizeof(StateHeader)];
    encodeHeader(stateHeader, header);
    const FilePart parts[] = {{header, sizeof(header)},
                              {referencePlanes.data(), referencePlanes.size()},
                              {outputPlanes.data(), outputPlanes.size()},
                              {blockMapHistory.data(), blockMapHistory.size()}};
    const WholeFileWriter write = services.writeWholeFile != nullptr ? services.writeWholeFile : writeWholeFilePortably;
    switch (write(path, parts, sizeof(parts) / sizeof(parts[0]))) {
        case WholeFileResult::Written:
            break;
        case WholeFileResult::CannotCreate:
            showMessage(SAVE_OPEN_MESSAGE);
            break;
        case WholeFileResult::CannotWrite:
            showMessage(SAVE_DIRECTORY_MESSAGE);
            break;
    }
}

bool loadStateHeader() {
    std::FILE* file = openForReading();
    if (file == nullptr) return false;
    const bool complete = readHeader(file);
    std::fclose(file);
    return complete;
}

bool loadState() {
    std::FILE* file = openForReading();
    if (file == nullptr) return false;
    // Straight into the live buffers; a fresh start re-initialises them if this fails.
    // A read that stops part way may have left anything in the history.
    blockMapHistoryExtent = BLOCK_CAPACITY;
    const bool complete = readHeader(file) && readWhole(file, referencePlanes) &&
                          readWhole(file, outputPlanes) && readWhole(file, blockMapHistory);
    std::fclose(file);
    if (complete) blockMapHistoryExtent = measureHistoryExtent(blockMapHistory.data());
    return complete;
}

bool isWithinStateWindow(std::int32_t lastCallTime, std::int32_t now) {
    return lastCallTime <= now &&
           static_cast<std::int64_t>(now) - lastCallTime <= STATE_TIME_WINDOW;
}

}  // namespace kalmix
