// A long run of the loaded module as a busy host would drive it: 20,000
// frames with jumps back and forth, size changes (sizes the filter takes and
// sizes it passes through), setup calls with new settings, and unloads and
// reloads that go through the state file. Resident memory is sampled every
// 1,000 frames and must stay flat once every buffer has been touched. Run in
// the AddressSanitizer + UndefinedBehaviorSanitizer build, where any stray
// access ends it.
//
//   kalmix_soak [FRAMES [SEED]]     prints its figures; exit 0 when held
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/standin/standin.h"
#include "tools/host/plugin_host.h"

#if defined(__SANITIZE_ADDRESS__)
#define KALMIX_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KALMIX_SOAK_ASAN 1
#endif
#endif

#if defined(KALMIX_SOAK_ASAN)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
// Freed memory is held back in a quarantine that would show as growth: none
// here, so that the figures show the module and the host.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=0"; }
#else
#include <malloc.h>
#endif

namespace {

#if defined(KALMIX_SOAK_ASAN)
// The sanitizer runtime keeps bookkeeping and shadow memory for each load of
// the module (its globals are registered and shadowed anew at each address
// it lands on): resident memory that grows with the reloads, about 220 KiB
// each, not with the frames. The heap in use is held strictly instead, and
// the plain build holds resident memory strictly.
constexpr long RELOAD_ALLOWANCE_KIB = 512;
long heapKib() { return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024); }
#else
constexpr long RELOAD_ALLOWANCE_KIB = 0;
long heapKib() { return static_cast<long>(mallinfo2().uordblks / 1024); }
#endif
constexpr long HEAP_GROWTH_LIMIT_KIB = 64;

constexpr int MAX_WIDTH = 384;
constexpr int MAX_HEIGHT = 288;
constexpr long SAMPLE_EVERY = 1000;
constexpr long WARM_UP = 2000;                  // frames before the baseline sample
constexpr long GROWTH_LIMIT_KIB = 3072;         // allowed above the baseline

long residentKib() {
    long pages = 0;
    long resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

std::unique_ptr<kalmix::host::PluginModule> load() {
    std::string error;
    auto module = kalmix::host::PluginModule::load(kalmix::host::defaultModulePath(), error);
    if (!module) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        std::exit(1);
    }
    return module;
}

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 20000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 20261208u;
    std::string directory = (std::filesystem::temp_directory_path() / "kalmix-soak-XXXXXX").string();
    if (mkdtemp(directory.data()) == nullptr) return 1;
    setenv("WINDIR", directory.c_str(), 1);
    standin::setMessageSink([](const std::string& caption, const std::string& text) {
        std::fprintf(stderr, "soak: the module says %s: %s\n", caption.c_str(), text.c_str());
        std::exit(1);
    });

    std::mt19937 random(seed);
    const auto chance = [&random](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

    // Room for the largest size tried, a pass-through one above the limits.
    std::vector<std::uint8_t> source(static_cast<std::size_t>(MAX_WIDTH + 8) * (MAX_HEIGHT + 8) * 4);
    std::vector<std::uint8_t> destination(source.size());
    auto module = load();
    kalmix::FilterParams params{5, 5, 5, 2, 1};
    int width = MAX_WIDTH, height = MAX_HEIGHT;  // every buffer touched first
    std::int32_t position = 0, clipTotal = 500;
    long reloads = 0, setups = 0, sizeChanges = 0, jumps = 0, failures = 0;
    long baseline = -1, highest = 0, heapBaseline = -1, heapHighest = 0, reloadsAtBaseline = 0;
    // Eight noisy takes of one still picture: a frame is cut from one of
    // them, so the noise changes from frame to frame and the picture does not.
    constexpr int TAKES = 8;
    constexpr std::size_t TEXTURE_ROW = static_cast<std::size_t>(MAX_WIDTH + 8) * 4;
    constexpr std::size_t TAKE_BYTES = TEXTURE_ROW * (MAX_HEIGHT + 8);
    std::vector<std::uint8_t> texture(TAKE_BYTES * TAKES);
    std::uint32_t noise = seed;
    for (std::size_t i = 0; i < texture.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const std::size_t x = i % TEXTURE_ROW / 4, y = i % TAKE_BYTES / TEXTURE_ROW;
        texture[i] = static_cast<std::uint8_t>((x * 3 + y * 5) % 200 + (noise >> 29));
    }
    const auto started = std::chrono::steady_clock::now();

    for (long frame = 0; frame < frames; ++frame) {
        if (chance(0.002)) {  // unload and load again; the host keeps its record
            module.reset();
            module = load();
            module->setParams(params);
            ++reloads;
        }
        if (chance(0.002)) {
            kalmix::host::UserSettings settings;
            settings.primaryLevel = pick(0, 10);
            settings.secondaryLevel = pick(0, 10);
            settings.enhancedSuppression = chance(0.5);
            settings.transitionFrames = pick(0, 7);
            settings.uvLevel = pick(0, 10);
            if (module->setup(settings) != 0) ++failures;
            params = *module->params();
            ++setups;
        }
        if (chance(0.01)) {
            if (chance(0.1)) {  // one the filter passes through
                width = pick(1, MAX_WIDTH + 8);
                height = pick(1, MAX_HEIGHT + 8);
            } else {
                width = 4 * pick(1, MAX_WIDTH / 4);
                height = 4 * pick(1, MAX_HEIGHT / 4);
            }
            ++sizeChanges;
        }
        if (chance(0.02)) {
            position += pick(-60, 60);
            if (chance(0.2)) clipTotal = pick(0, 1000);
            ++jumps;
        } else {
            ++position;
        }
        // The still picture with fresh noise, and a block that moves.
        const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
        const std::size_t take = TAKE_BYTES * static_cast<std::size_t>(pick(0, TAKES - 1));
        for (int y = 0; y < height; ++y) {
            std::memcpy(&source[static_cast<std::size_t>(y) * width * 4], &texture[take + y * TEXTURE_ROW],
                        static_cast<std::size_t>(width) * 4);
        }
        const int blockX = static_cast<int>(frame % std::max(1, width - 16));
        for (int y = 0; y < std::min(16, height); ++y) {
            std::memset(&source[(static_cast<std::size_t>(y) * width + blockX) * 4], 220,
                        static_cast<std::size_t>(std::min(16, width)) * 4);
        }
        if (module->execute(source.data(), destination.data(), width, height, position, clipTotal) != 0) ++failures;
        for (std::size_t i = 3; i < bytes; i += 4) {
            if (destination[i] != source[i]) {
                ++failures;
                break;
            }
        }

        if ((frame + 1) % SAMPLE_EVERY == 0) {
            const long resident = residentKib();
            const long heap = heapKib();
            if (frame + 1 == WARM_UP) {
                baseline = resident;
                heapBaseline = heap;
                reloadsAtBaseline = reloads;
            }
            if (frame + 1 >= WARM_UP) {
                highest = std::max(highest, resident);
                heapHighest = std::max(heapHighest, heap);
            }
            std::printf("soak: frame %ld: resident %ld KiB, heap %ld KiB\n", frame + 1, resident, heap);
            std::fflush(stdout);
        }
    }
    module.reset();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::filesystem::remove_all(directory);

    const long growth = baseline < 0 ? 0 : highest - baseline;
    const long heapGrowth = heapBaseline < 0 ? 0 : heapHighest - heapBaseline;
    const long limit = GROWTH_LIMIT_KIB + RELOAD_ALLOWANCE_KIB * (reloads - reloadsAtBaseline);
    std::printf("soak: %ld frames in %.1f s: %ld reloads, %ld setups, %ld size changes, %ld jumps\n", frames, seconds,
                reloads, setups, sizeChanges, jumps);
    std::printf("soak: after %ld frames: resident %ld KiB, at most %ld KiB later (growth %ld KiB, limit %ld); "
                "heap in use %ld KiB, at most %ld KiB later (growth %ld KiB, limit %ld)\n",
                WARM_UP, baseline, highest, growth, limit, heapBaseline, heapHighest, heapGrowth,
                HEAP_GROWTH_LIMIT_KIB);
    if (failures != 0) {
        std::printf("soak: FAILED: %ld calls failed or changed alpha\n", failures);
        return 1;
    }
    if (growth > limit || heapGrowth > HEAP_GROWTH_LIMIT_KIB) {
        std::printf("soak: FAILED: memory grew\n");
        return 1;
    }
    return 0;
}
