// Frames through the DLL: the state file that unloading writes into the
// Windows directory, its failure message, and the cross-check against the
// frames the native module produced for the same clip and parameters.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crosscheck_format.h"
#include "win_host.h"

namespace winhost {

namespace {

constexpr std::size_t STATE_FILE_SIZE = 829456;

std::string statePath() {
    char directory[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(directory, sizeof(directory));
    expect(length != 0 && length < sizeof(directory), "no Windows directory");
    return std::string(directory) + "\\KALMIX_STAT.bin";
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
        std::uint8_t buffer[65536];
        std::size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + count);
        }
        std::fclose(in);
    }
    return bytes;
}

std::int32_t field(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(bytes[4 * index + i]) << (8 * i);
    return static_cast<std::int32_t>(value);
}

// A small moving picture: enough for the filter to keep and change blocks.
std::vector<std::uint8_t> patternFrame(int width, int height, int index) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            const bool box = x >= 8 + 4 * index && x < 24 + 4 * index && y >= 16 && y < 40;
            p[0] = static_cast<std::uint8_t>(box ? 220 : 2 * x);
            p[1] = static_cast<std::uint8_t>(box ? 40 : 3 * y);
            p[2] = static_cast<std::uint8_t>((x * y + index) & 0xFF);
            p[3] = 0xFF;
        }
    }
    return pixels;
}

}  // namespace

int checkStateFile(const std::string& modulePath) {
    Preminfo preminfo;
    expect(preminfo.load(), "the stand-in PREMINFO.DLL cannot be loaded");
    if (failureCount() != 0) return finish("state");
    preminfo.setMainWindow(createMainWindow());
    const std::string path = statePath();
    const std::string temporary = path + ".tmp";
    DeleteFileA(path.c_str());
    RemoveDirectoryA(temporary.c_str());

    // A module that processed nothing writes a zero state.
    {
        Module module(modulePath);
    }
    std::vector<std::uint8_t> bytes = readFile(path);
    expect(bytes.size() == STATE_FILE_SIZE, "unload without frames: %zu bytes in %s", bytes.size(),
           path.c_str());
    expect(bytes.size() == STATE_FILE_SIZE &&
               std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }),
           "unload without frames: the state is not all zero");

    // Frames 10 to 20 of a 50-frame clip, then unload.
    const int width = 96, height = 64;
    const std::time_t before = std::time(nullptr);
    {
        Module module(modulePath);
        module.setParams(kalmix::DEFAULT_FILTER_PARAMS);
        std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 4);
        for (int position = 10; position <= 20; ++position) {
            const std::vector<std::uint8_t> source = patternFrame(width, height, position - 10);
            expect(module.execute(source.data(), out.data(), width, height, position, 50) == 0,
                   "execute on frame %d", position);
        }
    }
    const std::time_t after = std::time(nullptr);
    bytes = readFile(path);
    expect(bytes.size() == STATE_FILE_SIZE, "after frames 10 to 20: %zu bytes", bytes.size());
    if (bytes.size() == STATE_FILE_SIZE) {
        const std::int32_t time = field(bytes, 3);
        expect(field(bytes, 0) == 20 && field(bytes, 1) == 11 && field(bytes, 2) == 50,
               "header %d %d %d, expected 20 11 50", field(bytes, 0), field(bytes, 1), field(bytes, 2));
        expect(time >= before && time <= after, "saved time %d outside %lld..%lld", time,
               static_cast<long long>(before), static_cast<long long>(after));
    }

    // A save that cannot replace the file (another program holds it open
    // without sharing): the message box over the host's window, the previous
    // file stays whole and the save's temporary file is gone.
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    expect(held != INVALID_HANDLE_VALUE, "cannot hold %s open", path.c_str());
    {
        Module module(modulePath);
        Operator person([] {
            HWND box = waitForWindow("Kalmix Noise Filter");
            expect(box != nullptr, "no message box at unload");
            if (box == nullptr) return;
            expect(itemText(box, 0xFFFF) ==
                       "Unable to save status file.\r\nFilter will not function correctly",
                   "message '%s'", itemText(box, 0xFFFF).c_str());
            expect(GetWindow(box, GW_OWNER) == createMainWindow(), "the message box is not the host's");
            clickButton(box, IDOK);
            expect(waitUntilClosed(box), "the message box stays open after OK");
        });
        module.unload();
    }
    CloseHandle(held);
    expect(readFile(path) == bytes, "a failed save changed the previous file");
    WIN32_FIND_DATAA found;
    const std::string pattern = path + ".*.tmp";
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    expect(search == INVALID_HANDLE_VALUE, "a temporary file was left: %s", found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return finish("state");
}

int checkCrosscheck(const std::string& modulePath, const std::string& dataPath) {
    Preminfo preminfo;
    expect(preminfo.load(), "the stand-in PREMINFO.DLL cannot be loaded");
    std::FILE* in = std::fopen(dataPath.c_str(), "rb");
    expect(in != nullptr, "cannot open %s", dataPath.c_str());
    if (in == nullptr || failureCount() != 0) return finish("crosscheck");
    char magic[4] = {};
    std::int32_t caseCount = 0;
    const bool headerRead = std::fread(magic, 1, 4, in) == 4 && std::fread(&caseCount, 4, 1, in) == 1;
    expect(headerRead && std::memcmp(magic, crosscheck::MAGIC, 4) == 0 && caseCount > 0,
           "%s is no cross-check file", dataPath.c_str());
    for (std::int32_t c = 0; headerRead && c < caseCount && failureCount() == 0; ++c) {
        crosscheck::CaseHeader header{};
        if (std::fread(&header, sizeof(header), 1, in) != 1) {
            expect(false, "case %d: truncated", c);
            break;
        }
        const std::size_t frameBytes = static_cast<std::size_t>(header.width) * header.height * 4;
        std::vector<std::uint8_t> source(frameBytes), expected(frameBytes), actual(frameBytes);
        DeleteFileA(statePath().c_str());  // every case starts without a saved state
        Module module(modulePath);
        module.setParams(FilterParams{header.params[0], header.params[1], header.params[2],
                                      header.params[3], header.params[4]});
        int identical = 0;
        for (std::int32_t f = 0; f < header.frameCount; ++f) {
            std::int32_t position = 0;
            if (std::fread(&position, 4, 1, in) != 1 || std::fread(source.data(), 1, frameBytes, in) != frameBytes ||
                std::fread(expected.data(), 1, frameBytes, in) != frameBytes) {
                expect(false, "case %d frame %d: truncated", c, f);
                break;
            }
            std::fill(actual.begin(), actual.end(), 0xCD);
            module.execute(source.data(), actual.data(), header.width, header.height, position,
                           header.clipTotal);
            const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
            if (mismatch.first == actual.end()) {
                ++identical;
                continue;
            }
            const auto offset = static_cast<std::size_t>(mismatch.first - actual.begin());
            expect(false, "case %d (%dx%d) frame %d: byte %zu (pixel %zu, channel %zu) is %u, native %u", c,
                   header.width, header.height, f, offset, offset / 4, offset % 4, *mismatch.first,
                   *mismatch.second);
            break;  // later frames follow from this one
        }
        std::printf("case %d: %dx%d, %d of %d frames identical\n", c, header.width, header.height, identical,
                    header.frameCount);
    }
    std::fclose(in);
    return finish("crosscheck");
}

}  // namespace winhost
