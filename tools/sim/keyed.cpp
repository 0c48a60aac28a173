// VALSET / VALGET / VALDEL (see keyed.hpp).
#include "keyed.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>

#include "messages.hpp"
#include "settings.hpp"
#include "ubx/error.hpp"
#include "ubx/keys.hpp"

namespace zqsim {
namespace {

constexpr uint8_t kRam = 1, kBbr = 2, kFlash = 4;
constexpr size_t kLogged = 4;  // keys named in one log line

bool refuse(CommandContext& c, const std::string& why) {
    c.event += ": " + why;
    return false;
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%#llx", static_cast<unsigned long long>(v));
    return buf;
}

// Checks the keys against what this receiver knows; names the first unknown one.
bool keys_known(CommandContext& c, const std::vector<uint32_t>& ids) {
    if (ids.empty()) return refuse(c, "no keys");
    if (ids.size() > ubx::kMaxKeys) return refuse(c, std::to_string(ids.size()) + " keys");
    for (uint32_t id : ids)
        if (!c.store.known(id)) return refuse(c, "unknown key " + ubx::key_name(id));
    return true;
}

// The key list after the header of a VALGET or VALDEL, all of them keys this receiver knows.
std::optional<std::vector<uint32_t>> known_keys(CommandContext& c, const ubx::Frame& f) {
    std::vector<uint32_t> ids;
    try {
        ids = ubx::parse_keys(f.payload.subspan(4), f.id);
    } catch (const ubx::Error& e) {
        refuse(c, e.what());
        return std::nullopt;
    }
    if (!keys_known(c, ids)) return std::nullopt;
    return ids;
}

std::string describe(uint32_t id) {
    return ubx::key_name(id);
}
std::string describe(const ubx::KeyValue& kv) {
    return ubx::key_name(kv.id) + "=" + std::to_string(kv.raw);
}

// Names the first kLogged keys (with their values, where given) in the event, " ..." for more.
template <class T>
void log_keys(CommandContext& c, std::span<const T> items) {
    for (size_t i = 0; i < items.size() && i < kLogged; ++i) {
        // Appended in two steps: g++ 12 at -O2 warns falsely (-Wrestrict) on " " + string.
        c.event += ' ';
        c.event += describe(items[i]);
    }
    if (items.size() > kLogged) c.event += " ...";
}

}  // namespace

bool KeyConfig::commit(CommandContext& c, uint8_t version, uint8_t action,
                       std::vector<Item> items) {
    if (version == 1 && action != 0) {
        if (action == 1) {
            pending_.clear();
            open_ = true;
        } else if (!open_) {
            return refuse(c, "no transaction open");
        }
        pending_.insert(pending_.end(), items.begin(), items.end());
        if (action != 3) {
            c.event += " (held for the transaction)";
            return true;
        }
        items = std::move(pending_);
        forget();
        c.event += " (transaction applied)";
    }
    for (const Item& it : items) {
        for (Layer layer : {Layer::Ram, Layer::Bbr, Layer::Flash}) {
            const uint8_t bit = layer == Layer::Ram ? kRam : layer == Layer::Bbr ? kBbr : kFlash;
            if (!(it.layers & bit)) continue;
            if (it.del)
                c.store.erase(it.id, layer);
            else
                c.store.set(it.id, it.raw, layer);
        }
    }
    return true;
}

template <class Read>
bool KeyConfig::write(CommandContext& c, const ubx::Frame& f, uint8_t allowed,
                      const char* bad_layers, Read read) {
    const auto h = Fields::header(f.cls, f.id, f.payload);
    if (!h) return refuse(c, "too short");
    const auto version = static_cast<uint8_t>((*h)["version"]);
    const auto layers = static_cast<uint8_t>((*h)["layers"]);
    const auto action = static_cast<uint8_t>((*h)["transaction"] & 0x03);
    c.event += " layers " + hex(layers);
    std::vector<Item> items;
    bool ok;
    if (version > 1)
        ok = refuse(c, "version " + std::to_string(version));
    else if (layers == 0 || (layers & ~allowed))
        ok = refuse(c, bad_layers);
    else if ((layers & kFlash) && !c.has_flash)
        ok = refuse(c, "no flash");
    else
        ok = read(layers, items);
    if (!ok) {
        if (version == 1) forget();
        return false;
    }
    return commit(c, version, action, std::move(items));
}

bool KeyConfig::valset(CommandContext& c, const ubx::Frame& f) {
    c.event = "CFG-VALSET";
    return write(c, f, kRam | kBbr | kFlash, "bad layers", [&](uint8_t layers, auto& items) {
        std::vector<ubx::KeyValue> kvs;
        try {
            kvs = ubx::parse_key_values(f.payload.subspan(4), kCfgValset);
        } catch (const ubx::Error& e) {
            return refuse(c, e.what());
        }
        std::vector<uint32_t> ids;
        for (const auto& kv : kvs)
            ids.push_back(kv.id);
        if (!keys_known(c, ids)) return false;
        // Values are checked in order: the event names those that passed before a refusal.
        const auto bad = std::find_if(kvs.begin(), kvs.end(), [&](const ubx::KeyValue& kv) {
            return !valid_value(c.gen, kv.id, kv.raw);
        });
        log_keys(c, std::span<const ubx::KeyValue>(kvs.begin(), bad));
        if (bad != kvs.end())
            return refuse(
                c, "value " + std::to_string(bad->raw) + " refused for " + ubx::key_name(bad->id));
        for (const auto& kv : kvs)
            items.push_back({false, layers, kv.id, kv.raw});
        return true;
    });
}

bool KeyConfig::valdel(CommandContext& c, const ubx::Frame& f) {
    c.event = "CFG-VALDEL";
    const char* bad_layers = "bad layers (BBR and flash only)";
    return write(c, f, kBbr | kFlash, bad_layers, [&](uint8_t layers, auto& items) {
        const auto ids = known_keys(c, f);
        if (!ids) return false;
        log_keys(c, std::span<const uint32_t>(*ids));
        for (uint32_t id : *ids)
            items.push_back({true, layers, id, 0});
        return true;
    });
}

bool KeyConfig::valget(CommandContext& c, const ubx::Frame& f) {
    c.event = "CFG-VALGET";
    const auto h = Fields::header(f.cls, f.id, f.payload);
    if (!h) return refuse(c, "too short");
    const auto version = (*h)["version"], index = (*h)["layer"];
    const auto position = static_cast<uint16_t>((*h)["position"]);
    c.event += " layer " + std::to_string(index);
    if (version != 0) return refuse(c, "version " + std::to_string(version));
    Layer layer;
    switch (index) {
        case 0:
            layer = Layer::Ram;
            break;
        case 1:
            layer = Layer::Bbr;
            break;
        case 2:
            if (!c.has_flash) return refuse(c, "no flash");
            layer = Layer::Flash;
            break;
        case 7:
            layer = Layer::Default;
            break;
        default:
            return refuse(c, "bad layer");
    }
    const auto ids = known_keys(c, f);
    if (!ids) return false;
    std::vector<ubx::KeyValue> values;
    size_t skipped = 0;
    for (uint32_t id : *ids) {
        const auto v = c.store.get(id, layer);
        if (!v) continue;  // not stored in that layer: left out of the answer
        if (skipped < position) {
            ++skipped;
            continue;
        }
        values.push_back({id, *v});
    }
    append_frame(c.answer, kClsCfg, kCfgValget,
                 ubx::valget_answer(static_cast<uint8_t>(index), position, values));
    log_keys(c, std::span<const ubx::KeyValue>(values));
    if (values.size() + skipped < ids->size())
        c.event +=
            " (" + std::to_string(ids->size() - values.size() - skipped) + " not in the layer)";
    return true;
}

}  // namespace zqsim
