// kalmix-tile-worker: one instance of Kalmix.PRM for one tile. The tile engine
// starts one per tile, each with its own Windows directory (WINDIR), so every
// tile has the module's whole global state and its own state file.
//
//   kalmix-tile-worker MODULE WIDTH HEIGHT
//
// Descriptor 3 is the control socket, 4 the shared memory of 2 x WIDTH x
// HEIGHT x 4 bytes (the tile, then the module's output). The worker serves
// commands until the socket closes, which it also does when the engine's
// process dies; it then unloads the module, which saves its state file.
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/standin/standin.h"
#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_grid.h"
#include "tools/tiles/tile_protocol.h"

namespace {

using namespace kalmix::tiles;

bool sendReply(protocol::Kind kind, std::int32_t result, const std::string& text = {}) {
    protocol::Reply reply{};
    reply.kind = kind;
    reply.result = result;
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

int parseSide(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value <= 4096 ? static_cast<int>(value) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Only the two descriptors the engine handed over; nothing the engine's
    // process happened to leave open (it may be any frei0r host).
    ::close_range(protocol::MEMORY_FD + 1, ~0U, 0);
    ::signal(SIGPIPE, SIG_IGN);
    if (argc != 4) {
        std::fputs("kalmix-tile-worker: started by the kalmix tile engine, not by hand\n", stderr);
        return 2;
    }
    const int width = parseSide(argv[2]);
    const int height = parseSide(argv[3]);
    if (width == 0 || height == 0) return fail("bad tile size");
    const std::size_t bytes = frameBytes(width, height);
    void* memory = ::mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_SHARED, protocol::MEMORY_FD, 0);
    if (memory == MAP_FAILED) return fail(std::string("cannot map the shared memory: ") + std::strerror(errno));
    auto* source = static_cast<std::uint8_t*>(memory);
    std::uint8_t* destination = source + bytes;

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
    if (!sendReply(protocol::Kind::Ready, 0)) return 1;

    for (;;) {
        protocol::Command command{};
        const ssize_t got = ::recv(protocol::CONTROL_FD, &command, sizeof command, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got != sizeof command) break;  // closed: the engine is done, or gone
        std::int32_t result = -1;
        if (command.kind == protocol::Kind::Setup) {
            kalmix::host::UserSettings settings;
            settings.primaryLevel = command.primaryLevel;
            settings.secondaryLevel = command.secondaryLevel;
            settings.enhancedSuppression = command.enhancedSuppression != 0;
            settings.transitionFrames = command.transitionFrames;
            settings.uvLevel = command.uvLevel;
            result = module->setup(settings);
        } else if (command.kind == protocol::Kind::Frame) {
            result = module->execute(source, destination, width, height, command.framePosition, command.clipTotal);
        }
        if (!sendReply(protocol::Kind::Done, result)) break;
    }
    module.reset();  // unload: the module writes this tile's state file
    return 0;
}
