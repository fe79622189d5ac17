// What the tile engine and its workers say to each other over the control
// socket (SOCK_SEQPACKET, one message per send). The pixels travel through
// shared memory: the worker's region holds the tile's source pixels, then the
// module's output for them. With shared frames (a second region of whole
// frames that every worker maps), a worker cuts its tile out of a source
// frame itself and pastes its interior into an output frame, so the copies run
// in the workers, in parallel, while the tile is hot in that worker's cache.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>

namespace kalmix::tiles::protocol {

// The worker's descriptors: the control socket and the shared memory.
inline constexpr int CONTROL_FD = 3;
inline constexpr int MEMORY_FD = 4;
inline constexpr int FRAMES_FD = 5;  // the shared frames, when there are any
inline constexpr int TURNS_FD = 6;   // the turns to filter (Turns)

// The protocol's version, which a worker sends with Ready. A worker of
// another build of kalmix (an older installation found first, say) would read
// the commands laid out otherwise and could answer without filtering, so the
// engine refuses one that sends another number; workers before this one sent
// 0. Raise it with every change to the messages, the descriptors, the shared
// memory or the worker's arguments.
inline constexpr std::int32_t VERSION = 1;

// The largest frame side the workers take (their arguments are checked
// against it).
inline constexpr int MAX_FRAME_SIDE = 1 << 16;

// Not a shared frame: the tile is in, and its output goes to, the worker's
// own region, where the engine cuts and pastes.
inline constexpr std::int32_t NO_FRAME = -1;

enum class Kind : std::uint32_t {
    Ready = 1,  // worker to engine: module loaded, memory mapped; `result` is VERSION
    Setup = 2,  // the setup call acting as the user (the same for every tile)
    Frame = 3,  // one execute call on the tile in shared memory
    Done = 4,   // worker to engine: the call returned `result`
    Failed = 5, // worker to engine: could not start; `text` says why
};

struct Command {
    Kind kind;
    std::int32_t framePosition;
    std::int32_t clipTotal;
    std::int32_t primaryLevel;
    std::int32_t secondaryLevel;
    std::int32_t enhancedSuppression;
    std::int32_t transitionFrames;
    std::int32_t uvLevel;
    // Frame: shared frames by number, or NO_FRAME. With a previous frame, the
    // worker counts the refreshed 4x4 blocks of its interior.
    std::int32_t sourceFrame;
    std::int32_t outputFrame;
    std::int32_t previousFrame;
};

// How many tiles filter at once: a semaphore in memory every worker maps,
// holding one turn per thread. A worker takes a turn for each frame and gives
// it back when the module returns, before it pastes and replies, so a core
// that finishes a tile passes straight to a worker that waits, without a
// round trip through the engine. While it filters, the worker's process id
// stands in one of the `filtering` slots (0: free), so that a hung tile is
// told from the tiles that wait behind it.
inline constexpr int MAX_TURNS = 256;
struct Turns {
    sem_t free;
    std::atomic<std::int32_t> filtering[MAX_TURNS];
};
static_assert(std::atomic<std::int32_t>::is_always_lock_free, "the slots are shared between processes");

struct Reply {
    Kind kind;
    std::int32_t result;
    std::uint32_t refreshedBlocks;  // Done after a Frame with a previous frame
    char text[240];
};

}  // namespace kalmix::tiles::protocol
