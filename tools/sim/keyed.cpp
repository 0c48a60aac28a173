// VALSET / VALGET / VALDEL (see keyed.hpp).
#include "keyed.hpp"

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

bool KeyConfig::valset(CommandContext& c, const ubx::Frame& f) {
    c.event = "CFG-VALSET";
    if (f.payload.size() < 4) return refuse(c, "too short");
    const auto h = *Fields::of(f.cls, f.id, f.payload.first(4));
    const auto version = static_cast<uint8_t>(h["version"]);
    const auto layers = static_cast<uint8_t>(h["layers"]);
    const auto action = static_cast<uint8_t>(h["transaction"] & 0x03);
    c.event += " layers " + hex(layers);
    bool ok = true;
    std::vector<Item> items;
    if (version > 1) {
        ok = refuse(c, "version " + std::to_string(version));
    } else if (layers == 0 || (layers & ~(kRam | kBbr | kFlash))) {
        ok = refuse(c, "bad layers");
    } else if ((layers & kFlash) && !c.has_flash) {
        ok = refuse(c, "no flash");
    } else {
        std::vector<ubx::KeyValue> kvs;
        try {
            kvs = ubx::parse_key_values(f.payload.subspan(4), kCfgValset);
        } catch (const ubx::Error& e) {
            ok = refuse(c, e.what());
        }
        std::vector<uint32_t> ids;
        for (const auto& kv : kvs)
            ids.push_back(kv.id);
        ok = ok && keys_known(c, ids);
        for (size_t i = 0; ok && i < kvs.size(); ++i) {
            if (!valid_value(c.gen, kvs[i].id, kvs[i].raw)) {
                ok = refuse(c, "value " + std::to_string(kvs[i].raw) + " refused for " +
                                   ubx::key_name(kvs[i].id));
            }
            if (ok && i < kLogged)
                c.event += " " + ubx::key_name(kvs[i].id) + "=" + std::to_string(kvs[i].raw);
            if (ok && i == kLogged) c.event += " ...";
            items.push_back({false, layers, kvs[i].id, kvs[i].raw});
        }
    }
    if (!ok) {
        if (version == 1) forget();
        return false;
    }
    return commit(c, version, action, std::move(items));
}

bool KeyConfig::valdel(CommandContext& c, const ubx::Frame& f) {
    c.event = "CFG-VALDEL";
    if (f.payload.size() < 4) return refuse(c, "too short");
    const auto h = *Fields::of(f.cls, f.id, f.payload.first(4));
    const auto version = static_cast<uint8_t>(h["version"]);
    const auto layers = static_cast<uint8_t>(h["layers"]);
    const auto action = static_cast<uint8_t>(h["transaction"] & 0x03);
    c.event += " layers " + hex(layers);
    bool ok = true;
    std::vector<uint32_t> ids;
    if (version > 1) {
        ok = refuse(c, "version " + std::to_string(version));
    } else if (layers == 0 || (layers & ~(kBbr | kFlash))) {
        ok = refuse(c, "bad layers (BBR and flash only)");
    } else if ((layers & kFlash) && !c.has_flash) {
        ok = refuse(c, "no flash");
    } else {
        try {
            ids = ubx::parse_keys(f.payload.subspan(4), kCfgValdel);
        } catch (const ubx::Error& e) {
            ok = refuse(c, e.what());
        }
        ok = ok && keys_known(c, ids);
    }
    if (!ok) {
        if (version == 1) forget();
        return false;
    }
    std::vector<Item> items;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i < kLogged) c.event += " " + ubx::key_name(ids[i]);
        items.push_back({true, layers, ids[i], 0});
    }
    if (ids.size() > kLogged) c.event += " ...";
    return commit(c, version, action, std::move(items));
}

bool KeyConfig::valget(CommandContext& c, const ubx::Frame& f) {
    c.event = "CFG-VALGET";
    if (f.payload.size() < 4) return refuse(c, "too short");
    const auto h = *Fields::of(f.cls, f.id, f.payload.first(4));
    const auto version = h["version"], index = h["layer"];
    const auto position = static_cast<uint16_t>(h["position"]);
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
    std::vector<uint32_t> ids;
    try {
        ids = ubx::parse_keys(f.payload.subspan(4), kCfgValget);
    } catch (const ubx::Error& e) {
        return refuse(c, e.what());
    }
    if (!keys_known(c, ids)) return false;
    std::vector<ubx::KeyValue> values;
    size_t skipped = 0;
    for (uint32_t id : ids) {
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
    for (size_t i = 0; i < values.size() && i < kLogged; ++i)
        c.event += " " + ubx::key_name(values[i].id) + "=" + std::to_string(values[i].raw);
    if (values.size() > kLogged) c.event += " ...";
    if (values.size() + skipped < ids.size())
        c.event +=
            " (" + std::to_string(ids.size() - values.size() - skipped) + " not in the layer)";
    return true;
}

}  // namespace zqsim
