// instances.cpp: a slot is a Unix socket bound to a name in Linux's abstract namespace,
// "velto-instance/<euid>/<count>/<slot>": processes of one user started with one count share its
// slots. Only one socket can hold a name, and the kernel frees the name
// when the socket's last descriptor closes, which the process's end does: a process killed in
// the middle of a request never leaves its slot taken. No file is involved, so nothing needs a
// writable directory, and no leftover can block a later process.
#include "cgi/instances.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "base/text.h"

#if defined(__linux__)
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#endif

namespace {

// Digits only, the whole value: anything else means no bound.
int instance_slot_count() {
    const char* text = std::getenv("VELTO_MAX_INSTANCES");
    if (text == nullptr || *text < '0' || *text > '9') return 0;
    int32_t count = 0;
    const char* end = nullptr;
    if (scan_decimal(text, &count, &end) != decimal_scan::found || *end != '\0') return 0;
    return count <= MAX_INSTANCE_SLOTS ? count : 0;
}

#if defined(__linux__)
// Binds `fd` to the slot's name; false when another process holds it (or it cannot be named).
bool bind_slot(int fd, int count, unsigned slot) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: the abstract namespace. The name's length is the address's.
    int length =
        std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "velto-instance/%u/%d/%u",
                      static_cast<unsigned>(::geteuid()), count, slot);
    if (length < 0 || length >= static_cast<int>(sizeof address.sun_path - 1)) return false;
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
}
#endif

}  // namespace

void hold_instance_slot() {
#if defined(__linux__)
    int count = instance_slot_count();
    if (count <= 0) return;
    // Never closed: the descriptor is the slot, held until the process ends.
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // Starting at a slot chosen by the pid spreads concurrent starts over the slots, so most
    // processes take a free slot with their first bind.
    auto first = static_cast<unsigned>(::getpid()) % static_cast<unsigned>(count);
    // Waiting processes look again every 5 ms at first, then every 50 ms: short requests free
    // their slots within milliseconds, while a long wait should cost next to no CPU.
    long pause_ns = 5'000'000;
    for (;;) {
        for (unsigned i = 0; i < static_cast<unsigned>(count); i++) {
            if (bind_slot(fd, count, (first + i) % static_cast<unsigned>(count))) return;
        }
        timespec pause{0, pause_ns};
        ::nanosleep(&pause, nullptr);
        if (pause_ns < 50'000'000) pause_ns += 5'000'000;
    }
#endif
}
