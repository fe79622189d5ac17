// Starting, feeding and stopping the tile workers.
#include "tools/tiles/tile_engine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/standin/standin.h"
#include "tools/tiles/tile_protocol.h"

extern char** environ;

namespace kalmix::tiles {

using Clock = std::chrono::steady_clock;

struct TileEngine::Worker {
    std::size_t index = 0;
    Tile tile;
    pid_t pid = -1;
    int control = -1;
    int memoryFd = -1;
    std::uint8_t* memory = nullptr;
    std::size_t bytes = 0;  // of one tile
    Clock::time_point sentAt;
    bool busy = false;    // a reply to await for the frame being collected
    bool queued = false;  // the next frame sent already
    Clock::time_point queuedAt;

    std::uint8_t* source() const { return memory; }
    const std::uint8_t* output() const { return memory + bytes; }
};

namespace {

constexpr const char* WORKER_NAME = "kalmix-tile-worker";
constexpr int HIGH_FD = 10;  // above the numbers the worker's descriptors get
constexpr auto STOP_GRACE = std::chrono::seconds(10);
constexpr auto STOP_GRACE_BROKEN = std::chrono::seconds(2);
constexpr int MAX_SHARED_FRAMES = 64;

std::string errorText(int error) { return std::strerror(error); }

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool isExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string describeExit(int status) {
    if (WIFSIGNALED(status)) {
        const int number = WTERMSIG(status);
        const char* name = ::strsignal(number);
        return "killed by signal " + std::to_string(number) + (name != nullptr ? std::string(" (") + name + ")" : "");
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "stopped";
}

// Reaps pid if it ends within `wait`; its status, or -1 if it did not end.
int reap(pid_t pid, std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return 0;  // not ours to reap (SIGCHLD ignored): gone
        if (Clock::now() >= deadline) return -1;
        ::usleep(2000);
    }
}

// No home to keep state in (a user without a passwd entry, with neither
// WINDIR, XDG_STATE_HOME nor HOME set): a folder of this user's own in
// /var/tmp. Named by the user, so that no user's folder stands in another's
// way, and taken only when it is a real directory of this user's, made
// private: /var/tmp is sticky, so no one else can replace it afterwards, and
// nothing another user planted at the name (a link, a folder of theirs) is
// followed or written into.
std::filesystem::path ownFallbackFolder() {
    const uid_t user = ::geteuid();
    const std::string path = "/var/tmp/kalmix-" + std::to_string(user);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw TileError("cannot make the state folder " + path + ": " + errorText(errno));
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw TileError("cannot use the state folder " + path + ": " + errorText(errno));
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != user) {
        throw TileError("the state folder " + path + " is not a directory of this user's: not used (set WINDIR or HOME)");
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
        throw TileError("cannot make the state folder " + path + " private: " + errorText(errno));
    }
    return path;
}

// poll() for the time left, and once more when none is: an answer that is
// already there counts, however late the engine looks. The engine's process
// may have stood still (stopped with Ctrl-Z, say) while its workers went on.
int pollUntil(pollfd* watch, std::size_t count, std::chrono::milliseconds left) {
    return ::poll(watch, count, left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1);
}

}  // namespace

std::string findWorker(const WorkerSearch& search) {
    for (const char* relative : {"", "/" KALMIX_PKGLIB_FROM_BIN, "/" KALMIX_PKGLIB_FROM_FREI0R}) {
        for (const std::string& folder : search.folders) {
            const std::string candidate = folder + relative + "/" + WORKER_NAME;
            if (isExecutable(candidate)) return candidate;
        }
    }
    // A program of the build tree runs the build's worker, even where an
    // installation (of another version, maybe) has one too.
    const std::string root = search.buildRoot + "/";
    const bool fromBuild = !search.buildRoot.empty() &&
                           std::any_of(search.folders.begin(), search.folders.end(), [&](const std::string& folder) {
                               return (folder + "/").compare(0, root.size(), root) == 0;
                           });
    if (fromBuild && isExecutable(search.built)) return search.built;
    if (isExecutable(search.installed)) return search.installed;
    return search.built;
}

std::string defaultWorkerPath() {
    if (const char* path = std::getenv("KALMIX_TILE_WORKER"); path != nullptr && *path != '\0') return path;
    // Beside the program or plug-in, else where an installation puts it
    // relative to them (links resolved, as for a plug-in linked into
    // ~/.frei0r-1/lib).
    WorkerSearch search;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&defaultWorkerPath), &info) != 0 && info.dli_fname != nullptr &&
        std::strchr(info.dli_fname, '/') != nullptr) {
        std::error_code error;
        const auto resolved = std::filesystem::canonical(info.dli_fname, error);
        search.folders.push_back(error ? directoryOf(info.dli_fname) : resolved.parent_path().string());
    }
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) search.folders.push_back(self.parent_path().string());
    search.installed = KALMIX_TILE_WORKER_INSTALL_PATH;
    search.built = KALMIX_TILE_WORKER_BUILD_PATH;
    search.buildRoot = KALMIX_BUILD_ROOT;
    return findWorker(search);
}

std::filesystem::path defaultStateBase() {
    if (const char* windir = std::getenv("WINDIR"); windir != nullptr && *windir != '\0') return windir;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
        return std::filesystem::path(state) / "kalmix";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::filesystem::path(home) / ".local/state/kalmix";
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return std::filesystem::path(entry->pw_dir) / ".local/state/kalmix";
    }
    return ownFallbackFolder();
}

int availableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

TileEngine::TileEngine(int frameWidth, int frameHeight, const EngineSettings& settings)
    : grid_(planTiles(frameWidth, frameHeight, settings.margin)), timeout_(settings.timeout) {
    if (frameWidth > protocol::MAX_FRAME_SIDE || frameHeight > protocol::MAX_FRAME_SIDE) {
        throw TileError("frames of " + std::to_string(frameWidth) + "x" + std::to_string(frameHeight) +
                        " are too large for the tiles: at most " + std::to_string(protocol::MAX_FRAME_SIDE) +
                        " pixels a side");
    }
    // By default one turn more than there are cores: with exactly one per core
    // a core that had finished a tile often stood idle until the worker of the
    // next had woken and been placed; a worker more in turn keeps every core busy.
    const int turns = settings.threads > 0 ? settings.threads : availableCores() + 1;
    threads_ = std::clamp(turns, 1, std::min(static_cast<int>(grid_.tiles.size()), protocol::MAX_TURNS));
    workerPath_ = settings.workerPath.empty() ? defaultWorkerPath() : settings.workerPath;
    const std::string& workerPath = workerPath_;
    countable_ = std::all_of(grid_.tiles.begin(), grid_.tiles.end(), [](const Tile& tile) {
        return tile.interior.x % REFRESH_BLOCK == 0 && tile.interior.y % REFRESH_BLOCK == 0;
    });
    try {
        makeTurns();
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) throw TileError("cannot make the engine's wake-up: " + errorText(errno));
        if (settings.sharedFrames > 0) mapSharedFrames(settings.sharedFrames);
        for (std::size_t i = 0; i < grid_.tiles.size(); ++i) spawn(i, settings, workerPath);
        for (auto& worker : workers_) awaitReply(*worker, "starting");
    } catch (...) {
        stopWorkers();
        throw;
    }
}

TileEngine::~TileEngine() {
    if (thread_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    stopWorkers();
}

void TileEngine::makeTurns() {
    turnsFd_ = ::memfd_create("kalmix-turns", MFD_CLOEXEC);
    if (turnsFd_ < 0 || ::ftruncate(turnsFd_, sizeof(protocol::Turns)) != 0) {
        throw TileError("cannot make the workers' turns: " + errorText(errno));
    }
    void* memory = ::mmap(nullptr, sizeof(protocol::Turns), PROT_READ | PROT_WRITE, MAP_SHARED, turnsFd_, 0);
    if (memory == MAP_FAILED) throw TileError("cannot map the workers' turns: " + errorText(errno));
    turns_ = new (memory) protocol::Turns;  // the slots start free: the memory is zeros
    if (::sem_init(&turns_->free, 1, static_cast<unsigned>(threads_)) != 0) {
        throw TileError("cannot make the workers' turns: " + errorText(errno));
    }
}

void TileEngine::mapSharedFrames(int count) {
    if (count > MAX_SHARED_FRAMES) throw TileError("too many shared frames: " + std::to_string(count));
    const std::size_t bytes = static_cast<std::size_t>(count) * frameBytes(grid_.frameWidth, grid_.frameHeight);
    framesFd_ = ::memfd_create("kalmix-frames", MFD_CLOEXEC);
    if (framesFd_ < 0 || ::ftruncate(framesFd_, static_cast<off_t>(bytes)) != 0) {
        throw TileError("cannot make the shared frames: " + errorText(errno));
    }
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, framesFd_, 0);
    if (memory == MAP_FAILED) throw TileError("cannot map the shared frames: " + errorText(errno));
    frames_ = static_cast<std::uint8_t*>(memory);
    frameCount_ = count;
}

std::uint8_t* TileEngine::sharedFrame(int number) const {
    if (number < 0 || number >= frameCount_) throw std::out_of_range("no shared frame " + std::to_string(number));
    return frames_ + static_cast<std::size_t>(number) * frameBytes(grid_.frameWidth, grid_.frameHeight);
}

// The number of the shared frame that starts at `frame`, or NO_FRAME.
int TileEngine::sharedNumber(const std::uint8_t* frame) const {
    for (int number = 0; number < frameCount_; ++number) {
        if (frame == sharedFrame(number)) return number;
    }
    return protocol::NO_FRAME;
}

std::vector<pid_t> TileEngine::workerIds() const {
    std::vector<pid_t> ids;
    for (const auto& worker : workers_) ids.push_back(worker->pid);
    return ids;
}

void TileEngine::spawn(std::size_t index, const EngineSettings& settings, const std::string& workerPath) {
    auto worker = std::make_unique<Worker>();
    Worker& w = *worker;
    w.index = index;
    w.tile = grid_.tiles[index];
    w.bytes = frameBytes(w.tile.source.width, w.tile.source.height);
    workers_.push_back(std::move(worker));

    const std::filesystem::path folder = settings.stateFolder / ("tile-" + std::to_string(index));
    // Private, as the module's own state directory.
    std::error_code made;
    if (!standin::makePrivateDirectory(folder.string())) made = {errno, std::generic_category()};
    if (!made) {
        for (std::filesystem::path part = folder; part != settings.stateFolder.parent_path() && !made;
             part = part.parent_path()) {
            std::filesystem::permissions(part, std::filesystem::perms::owner_all, made);
        }
    }
    if (made) failTile(w, "cannot make its Windows directory " + folder.string() + ": " + made.message());

    w.memoryFd = ::memfd_create("kalmix-tile", MFD_CLOEXEC);
    if (w.memoryFd < 0 || ::ftruncate(w.memoryFd, static_cast<off_t>(2 * w.bytes)) != 0) {
        failTile(w, "cannot make its shared memory: " + errorText(errno));
    }
    void* memory = ::mmap(nullptr, 2 * w.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, w.memoryFd, 0);
    if (memory == MAP_FAILED) failTile(w, "cannot map its shared memory: " + errorText(errno));
    w.memory = static_cast<std::uint8_t*>(memory);

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        failTile(w, "cannot make its control socket: " + errorText(errno));
    }
    w.control = ends[0];
    // Copies above the target numbers, so that dup2 always makes a new
    // descriptor without close-on-exec; every other descriptor of ours has it.
    const int childControl = ::fcntl(ends[1], F_DUPFD_CLOEXEC, HIGH_FD);
    const int childMemory = ::fcntl(w.memoryFd, F_DUPFD_CLOEXEC, HIGH_FD);
    const int childFrames = framesFd_ >= 0 ? ::fcntl(framesFd_, F_DUPFD_CLOEXEC, HIGH_FD) : -1;
    const int childTurns = ::fcntl(turnsFd_, F_DUPFD_CLOEXEC, HIGH_FD);
    ::close(ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, childControl, protocol::CONTROL_FD);
    posix_spawn_file_actions_adddup2(&actions, childMemory, protocol::MEMORY_FD);
    if (childFrames >= 0) posix_spawn_file_actions_adddup2(&actions, childFrames, protocol::FRAMES_FD);
    posix_spawn_file_actions_adddup2(&actions, childTurns, protocol::TURNS_FD);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of their own: Ctrl-C at the terminal reaches the engine's process
    // only, which then stops the workers (they see their socket close).
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "WINDIR=", 7) != 0) environment.emplace_back(*entry);
    }
    environment.push_back("WINDIR=" + folder.string());
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string width = std::to_string(w.tile.source.width);
    std::string height = std::to_string(w.tile.source.height);
    const std::string& program = workerPath;
    const std::string& module = settings.modulePath;
    std::vector<std::string> arguments{program, module, width, height};
    if (childFrames >= 0) {
        const Rect& sr = w.tile.source;
        const Rect& in = w.tile.interior;
        for (int number : {grid_.frameWidth, grid_.frameHeight, frameCount_, sr.x, sr.y, sr.width, sr.height, in.x,
                           in.y, in.width, in.height}) {
            arguments.push_back(std::to_string(number));
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int spawned = ::posix_spawn(&w.pid, workerPath.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(childControl);
    ::close(childMemory);
    if (childFrames >= 0) ::close(childFrames);
    ::close(childTurns);
    if (spawned != 0) {
        w.pid = -1;
        failTile(w, "cannot start the tile worker " + workerPath + ": " + errorText(spawned));
    }
}

void TileEngine::failDead(Worker& worker, const char* what) {
    const pid_t pid = worker.pid;
    const int status = reap(pid, std::chrono::milliseconds(1000));
    if (status >= 0) worker.pid = -1;
    failTile(worker, "its worker (process " + std::to_string(pid) + ") died while " + what +
                         (status >= 0 ? ": " + describeExit(status) : std::string()));
}

void TileEngine::failTile(const Worker& worker, const std::string& what) {
    broken_ = true;
    const Rect& r = worker.tile.interior;
    throw TileError("tile " + std::to_string(worker.index + 1) + " of " + std::to_string(grid_.tiles.size()) +
                    " (columns " + std::to_string(r.x) + "-" + std::to_string(r.x + r.width - 1) + ", rows " +
                    std::to_string(r.y) + "-" + std::to_string(r.y + r.height - 1) + "): " + what);
}

// Waits for the worker's reply to its last command; a reply other than Done
// or Ready, a closed socket or the timeout is that tile's failure.
protocol::Reply TileEngine::awaitReply(Worker& worker, const char* what) {
    const auto deadline = worker.busy ? worker.sentAt + timeout_ : Clock::now() + timeout_;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watch{worker.control, POLLIN, 0};
        const int ready = pollUntil(&watch, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            failTile(worker, "its worker (process " + std::to_string(worker.pid) + ") did not answer within " +
                                 std::to_string(timeout_.count() / 1000) + " s while " + what);
        }
        break;
    }
    protocol::Reply reply{};
    ssize_t got;
    do {
        got = ::recv(worker.control, &reply, sizeof reply, 0);
    } while (got < 0 && errno == EINTR);
    worker.busy = false;
    if (got != static_cast<ssize_t>(sizeof reply)) failDead(worker, what);
    if (reply.kind == protocol::Kind::Failed) {
        // Not the tile's fault (a module that does not load, say): every
        // worker would say the same, so the message is the worker's own.
        broken_ = true;
        reply.text[sizeof reply.text - 1] = '\0';
        throw TileError(reply.text);
    }
    if (reply.kind == protocol::Kind::Ready && reply.result != protocol::VERSION) {
        broken_ = true;
        throw TileError("the tile worker " + workerPath_ + " is of another version of kalmix (protocol " +
                        std::to_string(reply.result) + ", this program's " + std::to_string(protocol::VERSION) +
                        "): install this version's worker or point KALMIX_TILE_WORKER at it");
    }
    return reply;
}

void TileEngine::setup(const host::UserSettings& settings) {
    if (broken_) throw TileError("the tile workers stopped after an earlier failure");
    protocol::Command command{};
    command.kind = protocol::Kind::Setup;
    command.primaryLevel = settings.primaryLevel;
    command.secondaryLevel = settings.secondaryLevel;
    command.enhancedSuppression = settings.enhancedSuppression ? 1 : 0;
    command.transitionFrames = settings.transitionFrames;
    command.uvLevel = settings.uvLevel;
    for (auto& worker : workers_) {
        if (::send(worker->control, &command, sizeof command, MSG_NOSIGNAL) != sizeof command) {
            awaitReply(*worker, "setting up");  // reports the dead worker
        }
        worker->busy = true;
        worker->sentAt = Clock::now();
    }
    // Every worker answers before a refusal is reported, so that none is
    // left busy; the workers stay usable for another setup.
    std::int32_t refused = 0;
    for (auto& worker : workers_) {
        const std::int32_t result = awaitReply(*worker, "setting up").result;
        if (refused == 0) refused = result;
    }
    if (refused != 0) {
        throw TileError("the module refused its setup call (result " + std::to_string(refused) + ")");
    }
}

TileEngine::Flight TileEngine::plan(const Job& job) const {
    // Between two shared frames, each worker cuts its own tile and pastes its
    // interior. Otherwise the engine does: in place, every tile is cut before
    // any interior is pasted; else each just before it is sent, while the
    // tiles sent before it filter.
    Flight flight;
    flight.job = job;
    const int sourceFrame = sharedNumber(job.source);
    const int outputFrame = sharedNumber(job.destination);
    flight.byWorkers =
        sourceFrame != protocol::NO_FRAME && outputFrame != protocol::NO_FRAME && sourceFrame != outputFrame;
    const int previousFrame = job.previous != nullptr ? sharedNumber(job.previous) : protocol::NO_FRAME;
    flight.counted = flight.byWorkers && countable_ && previousFrame != protocol::NO_FRAME &&
                     previousFrame != sourceFrame && previousFrame != outputFrame;
    protocol::Command& command = flight.command;
    command.kind = protocol::Kind::Frame;
    command.framePosition = job.framePosition;
    command.clipTotal = job.clipTotal;
    command.sourceFrame = flight.byWorkers ? sourceFrame : protocol::NO_FRAME;
    command.outputFrame = flight.byWorkers ? outputFrame : protocol::NO_FRAME;
    command.previousFrame = flight.counted ? previousFrame : protocol::NO_FRAME;
    return flight;
}

void TileEngine::send(const Flight& flight, bool early) {
    const Job& job = flight.job;
    const bool inPlace = job.source == job.destination;
    if (inPlace) {
        for (auto& worker : workers_) {
            cutTile(job.source, grid_.frameWidth, grid_.frameHeight, worker->tile, worker->source());
        }
    }
    // Every tile is sent at once; the workers take turns, `threads_` at a time.
    for (auto& worker : workers_) {
        if (!inPlace && !flight.byWorkers) {
            cutTile(job.source, grid_.frameWidth, grid_.frameHeight, worker->tile, worker->source());
        }
        if (early) {
            // Its time counts from when the worker is done with the frame before.
            worker->queued = true;
            worker->queuedAt = Clock::now();
        } else {
            worker->busy = true;
            worker->sentAt = Clock::now();
        }
        if (::send(worker->control, &flight.command, sizeof flight.command, MSG_NOSIGNAL) !=
            sizeof flight.command) {
            failDead(*worker, "filtering");
        }
    }
}

// The next frame handed over, sent at once when it too goes between shared
// frames: each worker filters it after its tile of this one, with no pause
// at the frame's end while the last tiles finish and the next are sent.
void TileEngine::sendNextEarly(const Flight& current) {
    if (early_ || !current.byWorkers) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.empty()) return;
        Flight next = plan(waiting_.front());
        if (!next.byWorkers) return;  // it waits for this one to finish
        waiting_.pop_front();
        early_ = next;
    }
    send(*early_, true);
}

std::int64_t TileEngine::collect(const Flight& flight, bool sendNext) {
    std::int64_t refreshed = 0;
    std::size_t finished = 0;
    std::vector<pollfd> watch;
    std::vector<Worker*> watched;
    while (finished < workers_.size()) {
        watch.clear();
        watched.clear();
        auto deadline = Clock::time_point::max();
        for (auto& worker : workers_) {
            if (!worker->busy) continue;
            watch.push_back({worker->control, POLLIN, 0});
            watched.push_back(worker.get());
            deadline = std::min(deadline, worker->sentAt + timeout_);
        }
        const bool handOver = sendNext && !early_ && flight.byWorkers;
        if (handOver) watch.push_back({wakeFd_, POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready = pollUntil(watch.data(), watch.size(), left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) awaitReply(lateWorker(watched), "filtering");  // fails: it is late
        if (handOver && watch.back().revents != 0) {
            std::uint64_t count = 0;
            while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
            }
            sendNextEarly(flight);
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            Worker& worker = *watched[i];
            if (watch[i].revents == 0) continue;
            refreshed += awaitReply(worker, "filtering").refreshedBlocks;  // fails at once if dead
            if (worker.queued) worker.queuedAt = Clock::now();
            if (!flight.byWorkers) {
                pasteInterior(worker.output(), worker.tile, flight.job.destination, grid_.frameWidth);
            }
            ++finished;
        }
    }
    return flight.counted ? refreshed : -1;
}

void TileEngine::filter(const std::uint8_t* source, std::uint8_t* destination, std::int32_t framePosition,
                        std::int32_t clipTotal, const std::uint8_t* previous) {
    if (broken_) throw TileError("the tile workers stopped after an earlier failure");
    const Flight flight = plan({source, destination, framePosition, clipTotal, previous});
    send(flight, false);
    refreshedBlocks_ = collect(flight, false);
}

void TileEngine::start(const std::uint8_t* source, std::uint8_t* destination, std::int32_t framePosition,
                       std::int32_t clipTotal, const std::uint8_t* previous) {
    if (!thread_.joinable()) thread_ = std::thread(&TileEngine::dispatcher, this);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back({source, destination, framePosition, clipTotal, previous});
        ++unfinished_;
    }
    wake_.notify_all();
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TileEngine::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !results_.empty(); });
    const Result result = results_.front();
    results_.pop_front();
    --unfinished_;
    refreshedBlocks_ = result.refreshedBlocks;
    if (result.error) std::rethrow_exception(result.error);
}

int TileEngine::unfinished() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return unfinished_;
}

void TileEngine::dispatcher() {
    for (;;) {
        std::optional<Flight> flight;
        Job job;
        if (early_) {
            flight = early_;
            early_.reset();
            for (auto& worker : workers_) {
                worker->busy = worker->queued;
                worker->sentAt = worker->queuedAt;
                worker->queued = false;
            }
        } else {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || !waiting_.empty(); });
            if (quit_) return;
            job = waiting_.front();
            waiting_.pop_front();
        }
        Result result;
        try {
            if (broken_) throw TileError("the tile workers stopped after an earlier failure");
            if (!flight) {
                flight = plan(job);
                send(*flight, false);
            }
            result.refreshedBlocks = collect(*flight, true);
        } catch (...) {
            result.error = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        results_.push_back(result);
        wake_.notify_all();
    }
}

// The worker to blame when the tiles of a frame run late: one that is
// filtering (the others wait for its turn), else the first one late.
TileEngine::Worker& TileEngine::lateWorker(const std::vector<Worker*>& busy) const {
    const auto now = Clock::now();
    Worker* first = nullptr;
    for (Worker* worker : busy) {
        if (now < worker->sentAt + timeout_) continue;
        if (first == nullptr) first = worker;
        for (const auto& slot : turns_->filtering) {
            if (slot.load() == worker->pid) return *worker;
        }
    }
    return first != nullptr ? *first : *busy.front();
}

// Closing a worker's socket is its signal to unload the module (which saves
// the tile's state file) and exit; one that does not end in time is killed.
void TileEngine::stopWorkers() {
    for (auto& worker : workers_) {
        if (worker->control >= 0) ::close(worker->control);
        worker->control = -1;
    }
    const auto deadline = Clock::now() + (broken_ ? STOP_GRACE_BROKEN : STOP_GRACE);
    for (auto& worker : workers_) {
        if (worker->pid > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (reap(worker->pid, std::max(left, std::chrono::milliseconds(0))) < 0) {
                ::kill(worker->pid, SIGKILL);
                reap(worker->pid, std::chrono::milliseconds(1000));
            }
            worker->pid = -1;
        }
        if (worker->memory != nullptr) ::munmap(worker->memory, 2 * worker->bytes);
        worker->memory = nullptr;
        if (worker->memoryFd >= 0) ::close(worker->memoryFd);
        worker->memoryFd = -1;
    }
    if (frames_ != nullptr) {
        ::munmap(frames_, static_cast<std::size_t>(frameCount_) * frameBytes(grid_.frameWidth, grid_.frameHeight));
    }
    frames_ = nullptr;
    frameCount_ = 0;
    if (framesFd_ >= 0) ::close(framesFd_);
    framesFd_ = -1;
    if (turns_ != nullptr) ::munmap(turns_, sizeof(protocol::Turns));
    turns_ = nullptr;
    if (turnsFd_ >= 0) ::close(turnsFd_);
    turnsFd_ = -1;
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

}  // namespace kalmix::tiles
