// Layered configuration (see config_store.hpp).
#include "config_store.hpp"

namespace zqsim {

ConfigStore::ConfigStore(std::map<uint32_t, uint64_t> defaults)
    : defaults_(std::move(defaults)), ram_(defaults_) {}

std::optional<uint64_t> ConfigStore::get(uint32_t id, Layer layer) const {
    const std::map<uint32_t, uint64_t>* m = &ram_;
    if (layer == Layer::Default) m = &defaults_;
    if (layer == Layer::Bbr || layer == Layer::Flash) m = &saved(layer);
    const auto it = m->find(id);
    if (it == m->end()) return std::nullopt;
    return it->second;
}

void ConfigStore::set(uint32_t id, uint64_t raw, Layer layer) {
    if (!known(id) || layer == Layer::Default) return;
    if (layer == Layer::Ram)
        ram_[id] = raw;
    else
        saved(layer)[id] = raw;
}

void ConfigStore::erase(uint32_t id, Layer layer) {
    if (layer == Layer::Bbr || layer == Layer::Flash) saved(layer).erase(id);
}

void ConfigStore::reload(bool from_bbr, bool from_flash) {
    ram_ = defaults_;
    if (from_flash) {
        for (const auto& [id, v] : flash_)
            ram_[id] = v;
    }
    if (from_bbr) {
        for (const auto& [id, v] : bbr_)
            ram_[id] = v;
    }
}

}  // namespace zqsim
