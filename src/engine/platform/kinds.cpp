// What every system's interface shares: the refusal of a path that names no
// regular file, one error number for each kind, below the system's own.
#include "platform.h"

namespace velk::platform {

namespace {

constexpr int not_regular_base = -1000;

}  // namespace

int not_regular(Kind kind) {
    return not_regular_base - static_cast<int>(kind);
}

const char* not_regular_text(int error) {
    switch (not_regular_base - error) {
        case static_cast<int>(Kind::fifo):
            return "not a regular file but a FIFO";
        case static_cast<int>(Kind::socket):
            return "not a regular file but a socket";
        case static_cast<int>(Kind::character_device):
            return "not a regular file but a character device";
        case static_cast<int>(Kind::block_device):
            return "not a regular file but a block device";
        default:
            break;
    }
    return error <= not_regular_base ? "not a regular file" : nullptr;
}

}  // namespace velk::platform
