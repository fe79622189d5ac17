// Stands in for the tile worker of an older kalmix, as an earlier
// installation would be found: it answers Ready as workers did before they
// named their protocol (with 0), then says Done to every command without
// touching a tile.
#include <sys/socket.h>

#include "tools/tiles/tile_protocol.h"

namespace protocol = kalmix::tiles::protocol;

namespace {
bool reply(protocol::Kind kind) {
    protocol::Reply message{};
    message.kind = kind;
    return ::send(protocol::CONTROL_FD, &message, sizeof message, MSG_NOSIGNAL) == sizeof message;
}
}  // namespace

int main() {
    if (!reply(protocol::Kind::Ready)) return 1;
    for (;;) {
        protocol::Command command{};
        if (::recv(protocol::CONTROL_FD, &command, sizeof command, 0) <= 0) return 0;
        if (!reply(protocol::Kind::Done)) return 1;
    }
}
