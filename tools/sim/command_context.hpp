// What a handler of one configuration command works on: the receiver's configuration and
// generation, and what the command's outcome adds to the reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config_store.hpp"
#include "generation.hpp"

namespace zqsim {

struct CommandContext {
    ConfigStore& store;
    const Generation& gen;
    int port;        // the port the receiver talks through: USB, or UART1 with --uart
    bool has_flash;  // false with --no-flash

    std::vector<uint8_t> answer;  // frames that go out before the ACK
    std::string event;            // one line for the log saying what the command did
    std::optional<bool> gnss;     // CFG-RST stopped (false) or started (true) the GNSS
};

}  // namespace zqsim
