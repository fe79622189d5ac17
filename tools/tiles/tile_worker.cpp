// kalmix-tile-worker: one instance of Kalmix.PRM for one tile. The tile engine
// starts one per tile, each with its own Windows directory (WINDIR), so every
// tile has the module's whole global state and its own state file.
//
//   kalmix-tile-worker MODULE WIDTH HEIGHT
//   kalmix-tile-worker MODULE WIDTH HEIGHT FRAME_WIDTH FRAME_HEIGHT FRAMES
//       SX SY SW SH IX IY IW IH
//
// Descriptor 3 is the control socket, 4 the shared memory of 2 x WIDTH x
// HEIGHT x 4 bytes (the tile, then the module's output). In the second form,
// descriptor 5 holds FRAMES shared frames of FRAME_WIDTH x FRAME_HEIGHT, and
// the tile's source and interior rectangles in the frame follow. Descriptor 6
// holds the turns that every worker takes to filter a frame. The worker serves
// commands until the socket closes, which it also does when the engine's
// process dies; it then unloads the module, which saves its state file.
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "platform/standin/standin.h"
#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_grid.h"
#include "tools/tiles/tile_protocol.h"

namespace {

using namespace kalmix::tiles;

bool sendReply(protocol::Kind kind, std::int32_t result, const std::string& text = {},
               std::uint32_t refreshedBlocks = 0) {
    protocol::Reply reply{};
    reply.kind = kind;
    reply.result = result;
    reply.refreshedBlocks = refreshedBlocks;
    std::snprintf(reply.text, sizeof reply.text, "%s", text.c_str());
    for (;;) {
        if (::send(protocol::CONTROL_FD, &reply, sizeof reply, MSG_NOSIGNAL) == sizeof reply) return true;
        if (errno != EINTR) return false;
    }
}

int fail(const std::string& text) {
    sendReply(protocol::Kind::Failed, -1, text);
    return 1;
}

// A whole number from `low` to `high`, or false.
bool parseNumber(const char* text, long low, long high, int& value) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || number < low || number > high) return false;
    value = static_cast<int>(number);
    return true;
}

int parseSide(const char* text) {
    int value = 0;
    return parseNumber(text, 1, 4096, value) ? value : 0;
}

// The shared frames and this worker's place in them.
struct SharedFrames {
    std::uint8_t* memory = nullptr;
    int width = 0;
    int height = 0;
    int count = 0;
    Tile tile;
    std::uint64_t populated = 0;  // bit n: frame n's interior rows are mapped

    std::uint8_t* frame(std::int32_t number) const {
        return number >= 0 && number < count ? memory + static_cast<std::size_t>(number) * frameBytes(width, height)
                                              : nullptr;
    }
};

// How often a worker waiting for its turn looks whether the engine is still there.
constexpr long TURN_CHECK_NANOSECONDS = 200'000'000;

// A free slot for this worker's process id while it filters (there are as
// many as turns at most, so one is free).
std::atomic<std::int32_t>& filteringSlot(protocol::Turns& turns) {
    const std::int32_t self = ::getpid();
    for (;;) {
        for (auto& slot : turns.filtering) {
            std::int32_t free = 0;
            if (slot.compare_exchange_strong(free, self)) return slot;
        }
    }
}

// Waits for a turn to filter; false if the engine closed the socket (or died)
// meanwhile, so that a worker never outlives it waiting.
bool takeTurn(sem_t* turns) {
    for (;;) {
        timespec until{};
        ::clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += TURN_CHECK_NANOSECONDS;
        if (until.tv_nsec >= 1'000'000'000) {
            until.tv_nsec -= 1'000'000'000;
            ++until.tv_sec;
        }
        if (::sem_clockwait(turns, CLOCK_MONOTONIC, &until) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != ETIMEDOUT) return false;
        pollfd control{protocol::CONTROL_FD, 0, 0};
        if (::poll(&control, 1, 0) > 0 && (control.revents & (POLLHUP | POLLERR)) != 0) return false;
    }
}

// The pages of the rows this worker's interior is pasted into, in shared
// frame `number`, mapped for writing in one call the first time the frame is
// an output. Left to faults, each row of the interior is a page of its own (a
// frame's row is longer than a page): about 224 write faults a frame at
// 1080p, in each of 30 workers. The whole width of the rows is mapped: one
// range instead of one per row. Only frames pasted into, when they first are:
// the frames the engine only reads from, and those a short run never uses,
// cost nothing. A kernel without the call leaves it to the faults.
void populateInteriorRows(SharedFrames& frames, std::int32_t number) {
    if (number < 0 || number >= frames.count || (frames.populated >> number & 1U) != 0) return;
    frames.populated |= std::uint64_t{1} << number;
    const Rect& in = frames.tile.interior;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uint8_t* rows = frames.frame(number) + frameBytes(frames.width, in.y);
    const auto start = reinterpret_cast<std::uintptr_t>(rows) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(rows + frameBytes(frames.width, in.height));
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}

// The shared frames from the arguments after HEIGHT, mapped; an empty string
// or why not.
std::string mapSharedFrames(char** args, int tileWidth, int tileHeight, SharedFrames& frames) {
    int numbers[11];
    constexpr long MAX_FRAME_SIDE = protocol::MAX_FRAME_SIDE;
    const long low[11] = {1, 1, 1, -MAX_FRAME_SIDE, -MAX_FRAME_SIDE, 1, 1, 0, 0, 1, 1};
    for (int i = 0; i < 11; ++i) {
        const long high = i < 2 ? MAX_FRAME_SIDE : i == 2 ? 64 : MAX_FRAME_SIDE;
        if (!parseNumber(args[i], low[i], high, numbers[i])) return "bad shared frame arguments";
    }
    frames.width = numbers[0];
    frames.height = numbers[1];
    frames.count = numbers[2];
    frames.tile.source = {numbers[3], numbers[4], numbers[5], numbers[6]};
    frames.tile.interior = {numbers[7], numbers[8], numbers[9], numbers[10]};
    const Rect& s = frames.tile.source;
    const Rect& in = frames.tile.interior;
    if (s.width != tileWidth || s.height != tileHeight || in.x < s.x || in.y < s.y ||
        in.x + in.width > s.x + s.width || in.y + in.height > s.y + s.height || in.x + in.width > frames.width ||
        in.y + in.height > frames.height) {
        return "bad shared frame arguments";
    }
    const std::size_t bytes = static_cast<std::size_t>(frames.count) * frameBytes(frames.width, frames.height);
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, protocol::FRAMES_FD, 0);
    if (memory == MAP_FAILED) return std::string("cannot map the shared frames: ") + std::strerror(errno);
    frames.memory = static_cast<std::uint8_t*>(memory);
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    // Only the descriptors the engine handed over; nothing the engine's
    // process happened to leave open (it may be any frei0r host).
    const bool shared = argc == 15;
    ::close_range(protocol::TURNS_FD + 1, ~0U, 0);
    if (!shared) ::close(protocol::FRAMES_FD);
    ::signal(SIGPIPE, SIG_IGN);
    // The size limit fails the state file's write (the module removes its
    // temporary file) instead of killing the tile.
    ::signal(SIGXFSZ, SIG_IGN);
    if (argc != 4 && !shared) {
        std::fputs("kalmix-tile-worker: started by the kalmix tile engine, not by hand\n", stderr);
        return 2;
    }
    const int width = parseSide(argv[2]);
    const int height = parseSide(argv[3]);
    if (width == 0 || height == 0) return fail("bad tile size");
    const std::size_t bytes = frameBytes(width, height);
    // Every page of it is written at the first frame: mapped at once.
    void* memory =
        ::mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, protocol::MEMORY_FD, 0);
    if (memory == MAP_FAILED) return fail(std::string("cannot map the shared memory: ") + std::strerror(errno));
    auto* source = static_cast<std::uint8_t*>(memory);
    std::uint8_t* destination = source + bytes;
    void* mappedTurns = ::mmap(nullptr, sizeof(protocol::Turns), PROT_READ | PROT_WRITE, MAP_SHARED,
                               protocol::TURNS_FD, 0);
    if (mappedTurns == MAP_FAILED) return fail(std::string("cannot map the turns: ") + std::strerror(errno));
    auto& turnsMemory = *static_cast<protocol::Turns*>(mappedTurns);
    sem_t* turns = &turnsMemory.free;
    SharedFrames frames;
    if (shared) {
        if (std::string why = mapSharedFrames(argv + 4, width, height, frames); !why.empty()) return fail(why);
    }

    standin::setMessageSink([](const std::string&, const std::string& text) {
        std::string line = text;
        for (char& c : line) {
            if (c == '\r' || c == '\n') c = ' ';
        }
        std::fprintf(stderr, "kalmix: the module says: %s\n", line.c_str());
    });
    std::string error;
    std::unique_ptr<kalmix::host::PluginModule> module = kalmix::host::PluginModule::load(argv[1], error);
    if (!module) return fail(error);
    if (!sendReply(protocol::Kind::Ready, protocol::VERSION)) return 1;

    for (;;) {
        protocol::Command command{};
        const ssize_t got = ::recv(protocol::CONTROL_FD, &command, sizeof command, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got != sizeof command) break;  // closed: the engine is done, or gone
        std::int32_t result = -1;
        std::uint32_t refreshed = 0;
        if (command.kind == protocol::Kind::Setup) {
            kalmix::host::UserSettings settings;
            settings.primaryLevel = command.primaryLevel;
            settings.secondaryLevel = command.secondaryLevel;
            settings.enhancedSuppression = command.enhancedSuppression != 0;
            settings.transitionFrames = command.transitionFrames;
            settings.uvLevel = command.uvLevel;
            result = module->setup(settings);
        } else if (command.kind == protocol::Kind::Frame) {
            if (!takeTurn(turns)) break;  // the engine went away while this tile waited
            std::atomic<std::int32_t>& slot = filteringSlot(turnsMemory);
            const std::uint8_t* from = frames.frame(command.sourceFrame);
            std::uint8_t* to = frames.frame(command.outputFrame);
            populateInteriorRows(frames, command.outputFrame);
            if (from != nullptr) cutTile(from, frames.width, frames.height, frames.tile, source);
            result = module->execute(source, destination, width, height, command.framePosition, command.clipTotal);
            // Given back before the paste, so that the next tile's worker wakes
            // while this one still copies.
            slot.store(0);
            ::sem_post(turns);
            const std::uint8_t* previous = frames.frame(command.previousFrame);
            if (to != nullptr && previous != nullptr && previous != to) {
                refreshed = static_cast<std::uint32_t>(
                    pasteInteriorCountingRefreshed(destination, frames.tile, to, frames.width, previous));
            } else if (to != nullptr) {
                pasteInterior(destination, frames.tile, to, frames.width);
            }
        }
        if (!sendReply(protocol::Kind::Done, result, {}, refreshed)) break;
    }
    module.reset();  // unload: the module writes this tile's state file
    return 0;
}
