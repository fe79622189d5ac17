// The tile engine: filters frames of any size through the tile grid, each tile
// by its own instance of Kalmix.PRM in a worker process of its own.
//
// The module keeps all its state globally, per load, and its state file per
// Windows directory; a process is therefore the unit of one module instance.
// Workers are started with posix_spawn (never fork: hosts such as ffmpeg and
// MLT have threads), each with its own Windows directory, a folder per tile.
// Tiles travel through shared memory; a socket carries the commands. Every
// tile of a frame is sent at once and the workers take turns, `threads` at a
// time, handing a finished core to the next without the engine; the next
// frame's tiles may be sent before the current frame's have finished. Every
// worker gets the same setup and, for each frame, the same position and clip
// total, so each tile runs exactly as the module would on that tile alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_grid.h"
#include "tools/tiles/tile_protocol.h"

namespace kalmix::tiles {

// One line, naming the tile where a tile failed.
class TileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct EngineSettings {
    std::string modulePath;  // Kalmix.PRM for every worker
    std::string workerPath;  // empty: defaultWorkerPath()
    // Each tile's Windows directory is stateFolder/tile-N, made if missing.
    std::filesystem::path stateFolder;
    int threads = 0;  // tiles filtered at once; 0: one more than the cores there are
    int margin = DEFAULT_TILE_MARGIN;
    // A worker that does not answer a command within this long is hung.
    std::chrono::milliseconds timeout{30000};
    // Whole frames in memory shared with every worker (sharedFrame()). A
    // frame filtered from one shared frame into another is cut and pasted by
    // the workers themselves, in parallel, instead of by the engine.
    int sharedFrames = 0;
};

// $KALMIX_TILE_WORKER when set, else kalmix-tile-worker beside the program or
// shared object this engine is linked into (or where an installation puts it
// relative to them), else the build's own for a program of the build tree,
// else the installed one, else the build's.
std::string defaultWorkerPath();

// The search of defaultWorkerPath after the environment, on given places.
struct WorkerSearch {
    std::vector<std::string> folders;  // of the shared object and of the program
    std::string installed;             // where an installation puts the worker
    std::string built;                 // the build's own worker
    std::string buildRoot;             // the build tree
};
std::string findWorker(const WorkerSearch& search);

// The base of the per-tile folders: the module's Windows directory when WINDIR
// names one, else $XDG_STATE_HOME/kalmix (~/.local/state/kalmix), else, for a
// user with no home at all, /var/tmp/kalmix-UID, a private directory of the
// user's own. Throws TileError when that one is taken by anything else.
std::filesystem::path defaultStateBase();

// The cores this process may run on.
int availableCores();

class TileEngine {
public:
    // Plans the grid and starts one worker per tile. Throws TileError.
    TileEngine(int frameWidth, int frameHeight, const EngineSettings& settings);
    // Stops the workers; each unloads its module, which saves its state file.
    ~TileEngine();
    TileEngine(const TileEngine&) = delete;
    TileEngine& operator=(const TileEngine&) = delete;

    const TileGrid& grid() const { return grid_; }
    int workerCount() const { return static_cast<int>(workers_.size()); }
    int threads() const { return threads_; }
    std::vector<pid_t> workerIds() const;

    // The setup call on every worker, acting as the user. Throws TileError.
    void setup(const host::UserSettings& settings);

    // Shared frame `number` (from 0 to EngineSettings::sharedFrames - 1),
    // packed BGRA of the engine's size: read frames into it, write them from it.
    std::uint8_t* sharedFrame(int number) const;
    int sharedFrameCount() const { return frameCount_; }

    // One frame, packed BGRA of the engine's size; source and destination may
    // be the same. Throws TileError; the destination is then incomplete.
    // When source, destination and `previous` (the output of the frame
    // before) are three different shared frames, the workers also count the
    // refreshed 4x4 blocks: refreshedBlocks().
    void filter(const std::uint8_t* source, std::uint8_t* destination, std::int32_t framePosition,
                std::int32_t clipTotal, const std::uint8_t* previous = nullptr);

    // The same in two halves, so the caller can read the next frame and write
    // the last while the tiles are filtered. The buffers stay untouched by the
    // caller until finish() returns (`previous` is only read); finish() throws
    // what filter() would. Up to two frames may be handed over at once: the
    // next frame's tiles then follow the current frame's without a pause
    // between frames when both go between shared frames (each worker takes
    // them in order, so the next frame may count against the current one's
    // output); finish() waits for the oldest.
    void start(const std::uint8_t* source, std::uint8_t* destination, std::int32_t framePosition,
               std::int32_t clipTotal, const std::uint8_t* previous = nullptr);
    void finish();
    // Frames handed over by start() and not yet finish()ed.
    int unfinished() const;

    // The refreshed blocks the workers counted in the last frame finished, or
    // -1 when they did not count them; read it before the next start().
    std::int64_t refreshedBlocks() const { return refreshedBlocks_; }

private:
    struct Worker;
    struct Job {
        const std::uint8_t* source = nullptr;
        std::uint8_t* destination = nullptr;
        std::int32_t framePosition = 0;
        std::int32_t clipTotal = 0;
        const std::uint8_t* previous = nullptr;
    };
    // A frame as the workers are told it.
    struct Flight {
        Job job;
        protocol::Command command{};
        bool byWorkers = false;  // they cut and paste it themselves
        bool counted = false;    // and count its refreshed blocks
    };
    struct Result {
        std::exception_ptr error;
        std::int64_t refreshedBlocks = -1;
    };

    void makeTurns();
    void mapSharedFrames(int count);
    void spawn(std::size_t index, const EngineSettings& settings, const std::string& workerPath);
    Flight plan(const Job& job) const;
    // Sends the frame to every worker; `early`: while they still filter the one before.
    void send(const Flight& flight, bool early);
    // Collects the frame's replies; the refreshed blocks, or -1. With
    // `sendNext`, sends the next frame handed over as soon as it can go.
    std::int64_t collect(const Flight& flight, bool sendNext);
    void sendNextEarly(const Flight& current);
    // The worker's reply, once it is a Ready or Done; a failure throws.
    protocol::Reply awaitReply(Worker& worker, const char* what);
    int sharedNumber(const std::uint8_t* frame) const;
    [[noreturn]] void failTile(const Worker& worker, const std::string& what);
    [[noreturn]] void failDead(Worker& worker, const char* what);
    Worker& lateWorker(const std::vector<Worker*>& busy) const;
    void stopWorkers();
    void dispatcher();

    TileGrid grid_;
    int threads_ = 1;
    std::chrono::milliseconds timeout_;
    std::vector<std::unique_ptr<Worker>> workers_;
    bool broken_ = false;
    std::string workerPath_;  // the program every worker runs
    int turnsFd_ = -1;
    protocol::Turns* turns_ = nullptr;
    int framesFd_ = -1;
    std::uint8_t* frames_ = nullptr;
    int frameCount_ = 0;
    bool countable_ = false;  // every interior on the block grid: workers can count
    std::int64_t refreshedBlocks_ = -1;

    // The dispatching thread behind start() and finish().
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    int wakeFd_ = -1;  // an eventfd: a frame was handed over (seen while collecting)
    bool quit_ = false;
    std::deque<Job> waiting_;     // handed over, not yet sent
    std::deque<Result> results_;  // finished, not yet finish()ed
    int unfinished_ = 0;
    std::optional<Flight> early_;  // sent while the frame before was collected (dispatcher only)
};

}  // namespace kalmix::tiles
