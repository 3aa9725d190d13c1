// What a call on a device's port came to, in one convention for every call chain above the
// libraries. The libraries' own numbers (the serial library's 0 opened and -1 gone, the card
// library's 144 OK and 159 card found) are read at their border, by the channel and by the card
// reader's calls, and nowhere above it; the number itself travels on only for the log.
#pragma once

#include <cstdint>

namespace ordane {

struct PortOpening {
    bool opened = false;
    std::int32_t code = 0;  // the library's status, as the log gives it
};

enum class PortPresence { Present, Gone };

}  // namespace ordane
