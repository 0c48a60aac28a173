// Configuration by key: CFG-VALSET, CFG-VALGET and CFG-VALDEL on the configuration store.
#pragma once

#include <cstdint>
#include <vector>

#include "command_context.hpp"
#include "ubx/frame.hpp"

namespace zqsim {

// The three key messages, with the transaction that VALSET and VALDEL version 1 may span over
// several messages: action 1 (re)starts it, 2 adds to it, 3 adds and applies everything at
// once; a refused message drops the whole transaction. Each handler returns true for ACK-ACK.
class KeyConfig {
  public:
    bool valset(CommandContext& c, const ubx::Frame& f);
    bool valget(CommandContext& c, const ubx::Frame& f);
    bool valdel(CommandContext& c, const ubx::Frame& f);
    // A power cycle or reset forgets an open transaction.
    void forget() {
        pending_.clear();
        open_ = false;
    }

  private:
    struct Item {
        bool del;
        uint8_t layers;  // VALSET/VALDEL bitmask: 1 RAM, 2 BBR, 4 flash
        uint32_t id;
        uint64_t raw;
    };
    // VALSET and VALDEL: the header checked (version 0 or 1, layers a non-empty subset of
    // `allowed`, flash only where there is flash), then the key list turned into items by
    // read(layers, items); a refusal drops an open version-1 transaction.
    template <class Read>
    bool write(CommandContext& c, const ubx::Frame& f, uint8_t allowed, const char* bad_layers,
               Read read);
    bool commit(CommandContext& c, uint8_t version, uint8_t action, std::vector<Item> items);

    std::vector<Item> pending_;
    bool open_ = false;
};

}  // namespace zqsim
