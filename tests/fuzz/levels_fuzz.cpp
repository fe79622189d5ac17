// Fuzzes the fast frame path against the plain one: the same short sequence
// of frames (sizes, parameters, positions and pictures from the input) runs
// through the execute call once at the plain C level and once at the best
// level this processor offers, from the same module state, and any byte of
// output that differs aborts.
//
// The plain run happens in a forked child, which starts from an exact copy of
// the module's state (every static array, and whatever bookkeeping the stages
// keep) and hands its output frames back through shared memory; the parent
// then runs the same frames at the best level, so its coverage guides the
// fuzzer through the fast routines. Built with clang's libFuzzer
// (KALMIX_FUZZ=ON); run under the sanitizers.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/host_records.h"
#include "params/filter_params.h"
#include "pipeline/cpu.h"
#include "pipeline/frame_driver.h"
#include "pipeline/geometry.h"

namespace {

constexpr int MAX_CALLS = 6;
constexpr std::size_t MAX_FRAME_BYTES = std::size_t{kalmix::MAX_FRAME_WIDTH} * kalmix::MAX_FRAME_HEIGHT * 4;

using kalmix::fuzz::Input;

// One call of the sequence, decoded once so both runs see the same.
struct Call {
    std::int32_t width, height, position;
    kalmix::FilterParams params;
    bool withRecord;
    std::vector<std::uint8_t> source;
};

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525U + 1013904223U;
    return state >> 8;
}

// Pictures a filter sees: the previous picture with noise and a changed
// rectangle, or a new picture. Frames of a sequence mostly keep their size
// (any multiple of 4 up to the largest), so the still and changed blocks of
// a real clip both occur.
std::vector<Call> decodeCalls(Input& in) {
    std::vector<Call> calls;
    kalmix::FilterParams params{in.byte() % 12, in.byte() % 11, in.byte() % 12, in.byte() % 9, in.byte() % 2};
    std::int32_t width = 0, height = 0;
    std::int32_t position = in.byte() % 4;
    std::vector<std::uint8_t> picture;
    for (int i = 0; i < MAX_CALLS && !in.empty(); ++i) {
        const std::uint8_t flags = in.byte();
        if (i == 0 || (flags & 0x01) != 0) {  // a new size: usually short, now and then any height
            constexpr int COLUMNS = static_cast<int>(kalmix::MAX_FRAME_WIDTH / 4);
            const int rows = (flags & 0x02) != 0 ? static_cast<int>(kalmix::MAX_FRAME_HEIGHT / 4) : 12;
            width = 4 * (1 + in.byte() % COLUMNS);
            height = 4 * (1 + in.byte() % rows);
            picture.clear();
        }
        if ((flags & 0x04) != 0) {  // a parameter changes between frames
            params.primaryLevel = in.small();
            params.secondaryLevel = in.byte() % 12;
            params.enhancedSuppression = in.byte() % 2;
        }
        position += (flags & 0x08) != 0 ? in.small() : 1;
        const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
        std::uint32_t state = in.byte() * 2654435761U + 1U;
        if (picture.size() != bytes || (flags & 0x10) != 0) {
            picture.resize(bytes);
            const std::uint32_t smooth = in.byte() % 3;
            for (std::size_t k = 0; k < bytes; ++k) {
                const std::uint32_t x = static_cast<std::uint32_t>(k / 4 % static_cast<std::size_t>(width));
                picture[k] = static_cast<std::uint8_t>(smooth == 0 ? nextRandom(state) : x * smooth * 3 + k % 4 * 40);
            }
        }
        std::vector<std::uint8_t> source = picture;
        const int noise = in.byte() % 16;
        if (noise != 0) {
            for (std::uint8_t& value : source) {
                const int jitter = static_cast<int>(nextRandom(state) % static_cast<std::uint32_t>(2 * noise + 1)) - noise;
                value = static_cast<std::uint8_t>(std::clamp(value + jitter, 0, 255));
            }
        }
        // A rectangle of changed pixels, anywhere, of any size up to the frame.
        const std::int32_t left = in.byte() % width, top = in.byte() % height;
        const std::int32_t right = std::min(width, left + 1 + in.byte()), bottom = std::min(height, top + 1 + in.byte() % 64);
        const auto delta = static_cast<std::uint8_t>(in.byte());
        for (std::int32_t y = top; y < bottom; ++y) {
            for (std::int32_t x = left; x < right; ++x) {
                for (int c = 0; c < 3; ++c) {
                    std::uint8_t& value = source[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                                  static_cast<std::size_t>(x)) * 4 + static_cast<std::size_t>(c)];
                    value = static_cast<std::uint8_t>(value + delta);
                }
            }
        }
        calls.push_back({width, height, position, params, (flags & 0x20) == 0, std::move(source)});
    }
    return calls;
}

// Runs the calls at one level; output frame i goes to out + i * MAX_FRAME_BYTES.
void runCalls(const std::vector<Call>& calls, kalmix::CpuLevel level, std::uint8_t* out) {
    kalmix::selectCpuLevel(level);
    kalmix::sequenceActive = 0;  // each input is a clip of its own
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        kalmix::FilterParams params = call.params;
        char* block = reinterpret_cast<char*>(&params);
        HostFrame source{{0, 0, call.width, call.height}, {}, const_cast<std::uint8_t*>(call.source.data())};
        std::uint8_t* pixels = out + i * MAX_FRAME_BYTES;
        std::memset(pixels, 0, call.source.size());  // nothing left from an earlier input
        HostFrame destination{{0, 0, call.width, call.height}, {}, pixels};
        HostFrame* sourcePtr = &source;
        HostFrame* destinationPtr = &destination;
        HostFrameRequest request{call.withRecord ? &block : nullptr, &sourcePtr, &destinationPtr, call.position, 0};
        kalmix::executeFrame(request);
    }
}

std::uint8_t* sharedOutput() {
    static void* memory = [] {
        void* m = mmap(nullptr, MAX_CALLS * MAX_FRAME_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            std::perror("kalmix_fuzz_levels: mmap");
            std::abort();
        }
        return m;
    }();
    return static_cast<std::uint8_t*>(memory);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::vector<Call> calls = decodeCalls(in);
    const kalmix::CpuLevel best = kalmix::supportedCpuLevel();
    if (calls.empty() || best == kalmix::CpuLevel::C) return 0;

    std::uint8_t* plain = sharedOutput();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("kalmix_fuzz_levels: fork");
        std::abort();
    }
    if (child == 0) {
        runCalls(calls, kalmix::CpuLevel::C, plain);
        _exit(0);  // no libFuzzer or sanitizer exit handlers in the copy
    }
    int status = 0;
    pid_t waited = 0;
    do {  // libFuzzer's timeout alarm interrupts the wait
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "kalmix_fuzz_levels: the plain run failed (status %d)\n", status);
        std::abort();
    }

    static std::vector<std::uint8_t> fast(MAX_CALLS * MAX_FRAME_BYTES);
    runCalls(calls, best, fast.data());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::size_t bytes = static_cast<std::size_t>(calls[i].width) * static_cast<std::size_t>(calls[i].height) * 4;
        const std::uint8_t* expected = plain + i * MAX_FRAME_BYTES;
        const std::uint8_t* actual = fast.data() + i * MAX_FRAME_BYTES;
        const auto at = static_cast<std::size_t>(std::mismatch(expected, expected + bytes, actual).first - expected);
        if (at != bytes) {
            std::fprintf(stderr,
                         "kalmix_fuzz_levels: frame %zu (%dx%d, position %d) differs at level %s from level c "
                         "at byte %zu (x %zu, y %zu): %u, not %u\n",
                         i, calls[i].width, calls[i].height, calls[i].position, kalmix::cpuLevelName(best), at,
                         at / 4 % static_cast<std::size_t>(calls[i].width),
                         at / 4 / static_cast<std::size_t>(calls[i].width), actual[at], expected[at]);
            std::abort();
        }
    }
    return 0;
}
