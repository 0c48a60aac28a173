// The receiver's configuration by key, in the layers a u-blox receiver keeps: RAM (what is in
// force), battery-backed RAM and flash (what survives a power cycle), over the firmware's
// defaults. Every way of configuring the receiver, legacy message or key, ends up here.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "ubx/keys.hpp"

namespace zqsim {

enum class Layer : uint8_t { Ram, Bbr, Flash, Default };

class ConfigStore {
  public:
    // defaults names every key the receiver knows, with its value.
    explicit ConfigStore(std::map<uint32_t, uint64_t> defaults);

    bool known(uint32_t id) const { return defaults_.count(id) != 0; }
    // The value in force (RAM). Precondition: known(id).
    uint64_t get(uint32_t id) const { return ram_.at(id); }
    // The value a layer holds; nullopt when the key is not stored there (only BBR and flash
    // hold a subset).
    std::optional<uint64_t> get(uint32_t id, Layer layer) const;
    // Stores a known key's value in one layer (not Default).
    void set(uint32_t id, uint64_t raw, Layer layer);
    // Removes a key from BBR or flash.
    void erase(uint32_t id, Layer layer);

    // CFG-CFG: every value in force copied to a saved layer; a saved layer emptied.
    void save(Layer layer) { saved(layer) = ram_; }
    void clear(Layer layer) { saved(layer).clear(); }
    // What a power cycle or a reload does: RAM becomes the defaults, overlaid with flash and
    // then with battery-backed RAM (each when asked for).
    void reload(bool from_bbr = true, bool from_flash = true);

  private:
    std::map<uint32_t, uint64_t>& saved(Layer layer) { return layer == Layer::Bbr ? bbr_ : flash_; }
    const std::map<uint32_t, uint64_t>& saved(Layer layer) const {
        return layer == Layer::Bbr ? bbr_ : flash_;
    }

    std::map<uint32_t, uint64_t> defaults_, ram_, bbr_, flash_;
};

}  // namespace zqsim
