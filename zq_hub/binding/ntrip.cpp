// The Hub's rows for the NTRIP corrections client: hub.ntrip(url, ...) starts it,
// hub.ntrip_status tells what it does, hub.ntrip_stop() ends it, and Hub.sourcetable(url)
// lists a caster's mountpoints without a receiver.
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "../core/ntrip_client.hpp"
#include "port.hpp"
#include "services.hpp"

namespace zq_hub {
namespace {

using zq::hub::NtripClient;
using zq::hub::NtripOptions;
using zq::hub::NtripStatus;
namespace ntrip = zq::hub::ntrip;

// ---------------------------------------------------------------------------------------------
// Building the status dictionary

bool put(PyObject* d, const char* key, PyObject* value) {
    Ref v = Ref::steal(value);
    return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* u64(uint64_t v) {
    return PyLong_FromUnsignedLongLong(v);
}

PyObject* maybe_float(const std::optional<double>& v) {
    return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}

const char* carr_name(uint8_t c) {
    return c == 1 ? "float" : c == 2 ? "fixed" : "none";
}

// NAV-PVT's lastCorrectionAge code as (from, to) seconds; None when not available.
PyObject* correction_age(uint8_t code) {
    static constexpr int kBounds[] = {0, 1, 2, 5, 10, 15, 20, 30, 45, 60, 90, 120};
    if (code == 0) return Py_NewRef(Py_None);
    if (code >= 12) return Py_BuildValue("(iO)", 120, Py_None);
    return Py_BuildValue("(ii)", kBounds[code - 1], kBounds[code]);
}

// The port writer's counts: what it wrote, what it dropped and why, what waits.
PyObject* port_dict(const zq::hub::PortWriterStats& port) {
    const auto& drop = port.dropped;
    Ref p = Ref::steal(PyDict_New());
    Ref dropped = Ref::steal(PyDict_New());
    if (!p || !dropped) return nullptr;
    const bool ok = put(p.get(), "attached", PyBool_FromLong(port.attached)) &&
                    put(p.get(), "frames_written", u64(port.frames_written)) &&
                    put(p.get(), "bytes_written", u64(port.bytes_written)) &&
                    put(p.get(), "queued_frames", u64(port.queued_frames)) &&
                    put(p.get(), "queued_bytes", u64(port.queued_bytes)) &&
                    put(p.get(), "partial_writes", u64(port.partial_frames)) &&
                    put(p.get(), "external_writes", u64(port.external_writes)) &&
                    put(p.get(), "attaches", u64(port.attaches)) &&
                    put(p.get(), "last_error", text(port.last_error)) &&
                    put(dropped.get(), "queue_full", u64(drop.queue_full)) &&
                    put(dropped.get(), "stale", u64(drop.stale)) &&
                    put(dropped.get(), "write_failed", u64(drop.write_failed)) &&
                    put(dropped.get(), "timeout", u64(drop.timeout)) &&
                    put(dropped.get(), "stopped", u64(drop.stopped)) &&
                    put(dropped.get(), "too_large", u64(drop.too_large)) &&
                    put(p.get(), "dropped", dropped.release());
    return ok ? p.release() : nullptr;
}

PyObject* status_dict(const NtripStatus& s) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* o = d.get();
    const auto& port = s.port;
    const auto& drop = port.dropped;
    bool ok = put(o, "state", text(s.state)) && put(o, "url", text(s.url)) &&
              put(o, "version", PyLong_FromLong(s.version)) && put(o, "answer", text(s.answer)) &&
              put(o, "chunked", PyBool_FromLong(s.chunked)) &&
              put(o, "last_error", text(s.last_error)) && put(o, "connects", u64(s.connects)) &&
              put(o, "sessions", u64(s.sessions)) &&
              put(o, "bytes_received", u64(s.bytes_received)) &&
              put(o, "frames_received", u64(s.frames_received)) &&
              put(o, "frames_forwarded", u64(port.frames_written)) &&
              put(o, "bytes_forwarded", u64(port.bytes_written)) &&
              put(o, "garbage_bytes", u64(s.framer.skipped_bytes)) &&
              put(o, "last_frame_age", maybe_float(s.last_frame_age)) &&
              put(o, "last_write_age", maybe_float(s.last_write_age)) &&
              put(o, "gga_sent", u64(s.gga_sent)) && put(o, "last_gga", text(s.last_gga));
    if (!ok) return nullptr;

    Ref dropped = Ref::steal(PyDict_New());
    if (!dropped) return nullptr;
    ok = put(dropped.get(), "crc", u64(s.framer.bad_crc)) &&
         put(dropped.get(), "bad_header", u64(s.framer.bad_header)) &&
         put(dropped.get(), "cut", u64(s.frames_cut)) &&
         put(dropped.get(), "queue_full", u64(drop.queue_full)) &&
         put(dropped.get(), "stale", u64(drop.stale)) &&
         put(dropped.get(), "write_failed", u64(drop.write_failed)) &&
         put(dropped.get(), "timeout", u64(drop.timeout)) &&
         put(dropped.get(), "stopped", u64(drop.stopped)) &&
         put(dropped.get(), "too_large", u64(drop.too_large)) &&
         put(o, "frames_dropped", dropped.release());
    if (!ok) return nullptr;

    if (!put(o, "port", port_dict(port))) return nullptr;

    Ref types = Ref::steal(PyDict_New());
    if (!types) return nullptr;
    for (const auto& [type, n] : s.types) {
        Ref k = Ref::steal(PyLong_FromLong(type));
        Ref v = Ref::steal(u64(n));
        if (!k || !v || PyDict_SetItem(types.get(), k.get(), v.get()) < 0) return nullptr;
    }
    if (!put(o, "types", types.release())) return nullptr;

    if (s.have_pvt) {
        Ref r = Ref::steal(PyDict_New());
        ok = r && put(r.get(), "fix_type", PyLong_FromLong(s.fix_type)) &&
             put(r.get(), "diff_soln", PyBool_FromLong(s.diff_soln)) &&
             put(r.get(), "carr_soln", PyUnicode_FromString(carr_name(s.carr_soln))) &&
             put(r.get(), "correction_age", correction_age(s.last_correction_age)) &&
             put(r.get(), "pvt_age", maybe_float(s.pvt_age)) && put(o, "receiver", r.release());
    } else {
        ok = put(o, "receiver", Py_NewRef(Py_None));
    }
    if (!ok) return nullptr;

    Ref rxm = Ref::steal(PyDict_New());
    if (!rxm) return nullptr;
    for (const auto& [type, use] : s.rxm) {
        Ref k = Ref::steal(PyLong_FromLong(type));
        Ref v = Ref::steal(Py_BuildValue("{s:K,s:K,s:K,s:K}", "used", use.used, "not_used",
                                         use.not_used, "unknown", use.unknown, "crc_failed",
                                         use.crc_failed));
        if (!k || !v || PyDict_SetItem(rxm.get(), k.get(), v.get()) < 0) return nullptr;
    }
    if (!put(o, "rxm_rtcm", rxm.release())) return nullptr;

    Ref events = Ref::steal(PyList_New(0));
    if (!events) return nullptr;
    for (const auto& e : s.events) {
        Ref item = Ref::steal(Py_BuildValue("(KN)", e.seq, text(e.text)));
        if (!item || PyList_Append(events.get(), item.get()) < 0) return nullptr;
    }
    if (!put(o, "events", events.release())) return nullptr;
    return d.release();
}

// The client as a hub service: the hub's close stops it with the others. The binding keeps
// its own reference (below), so that a status read with the GIL never meets a client that a
// stop without the GIL is destroying.
class NtripService : public zq::hub::Service {
  public:
    explicit NtripService(std::shared_ptr<NtripClient> c) : client(std::move(c)) {}
    std::string_view name() const noexcept override { return "ntrip"; }
    void stop() override { client->stop(); }
    std::shared_ptr<NtripClient> client;
};

// The last client started on each hub, guarded by the GIL; an entry goes with its hub or at
// ntrip_stop(). A client the hub's close stopped stays readable ("stopped").
struct Entry {
    std::weak_ptr<zq::hub::Hub> hub;
    std::shared_ptr<NtripClient> client;
};

std::vector<Entry>& clients() {
    static std::vector<Entry> list;
    return list;
}

Entry* entry_for(HubObject* h) {
    auto& list = clients();
    std::erase_if(list, [](const Entry& e) { return e.hub.expired(); });
    if (!h->core) return nullptr;
    for (Entry& e : list)
        if (e.hub.lock() == h->core->hub) return &e;
    return nullptr;
}

bool positive(double v) {
    return std::isfinite(v) && v > 0;
}

ntrip::Version version_from(int v) {
    if (v != 1 && v != 2) throw std::invalid_argument("version must be 1 or 2");
    return v == 1 ? ntrip::Version::v1 : ntrip::Version::v2;
}

// ---------------------------------------------------------------------------------------------
// Methods

PyObject* hub_ntrip(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"url",     "gga_interval", "version", "timeout", "silence_timeout",
                               "backoff", "backoff_max",  "agent",   nullptr};
    const char* url = nullptr;
    double gga_interval = 10, timeout = 10, silence = 20, backoff = 1, backoff_max = 60;
    int version = 2;
    const char* agent = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|di$dddds:ntrip", const_cast<char**>(kw), &url,
                                     &gga_interval, &version, &timeout, &silence, &backoff,
                                     &backoff_max, &agent))
        return nullptr;
    HubObject* h = as_hub(self);
    if (!h->receiver || h->core->hub->closed()) {
        PyErr_SetString(PyExc_RuntimeError, "the hub is closed");
        return nullptr;
    }
    if (!std::isfinite(gga_interval) || gga_interval < 0 || !positive(timeout) ||
        !positive(silence) || !positive(backoff) || !positive(backoff_max) ||
        backoff > backoff_max) {
        PyErr_SetString(PyExc_ValueError,
                        "gga_interval must be >= 0; timeout, silence_timeout, backoff and "
                        "backoff_max > 0, with backoff <= backoff_max");
        return nullptr;
    }
    NtripOptions options;
    try {
        options.url = ntrip::parse_url(url);
        options.version = version_from(version);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    if (options.url.mount.empty()) {
        PyErr_SetString(PyExc_ValueError,
                        "the caster URL names no mountpoint (Hub.sourcetable(url) lists them)");
        return nullptr;
    }
    options.gga_interval = gga_interval;
    options.connect_timeout = timeout;
    options.silence_timeout = silence;
    options.backoff_initial = backoff;
    options.backoff_max = backoff_max;
    if (agent) options.agent = agent;

    std::shared_ptr<zq::hub::PortWriter> writer = port_writer(h);
    std::shared_ptr<zq::hub::Hub> hub = h->core->hub;
    try {
        auto client = std::make_shared<NtripClient>(std::move(options), hub->tap(), writer);
        auto service = std::make_unique<NtripService>(client);
        // A client running already is stopped (and its thread joined) on the way.
        pyref::without_gil([&] { hub->add(std::move(service)); });
        if (Entry* e = entry_for(h)) {
            e->client = std::move(client);
        } else {
            clients().push_back({hub, std::move(client)});
        }
    } catch (const std::logic_error&) {
        PyErr_SetString(PyExc_RuntimeError, "the hub is closed");
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_OSError, "cannot start the corrections client: %s", e.what());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* hub_ntrip_stop(PyObject* self, PyObject*) {
    HubObject* h = as_hub(self);
    if (!h->core) Py_RETURN_FALSE;
    std::shared_ptr<zq::hub::Hub> hub = h->core->hub;
    const bool stopped = pyref::without_gil([&] { return hub->remove("ntrip"); });
    std::erase_if(clients(), [&](const Entry& e) { return e.hub.lock() == hub; });
    return PyBool_FromLong(stopped);
}

PyObject* hub_get_ntrip_status(PyObject* self, void*) {
    Entry* e = entry_for(as_hub(self));
    if (!e) Py_RETURN_NONE;
    std::shared_ptr<NtripClient> c = e->client;
    try {
        return status_dict(c->status());
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
}

PyObject* hub_get_port_status(PyObject* self, void*) {
    std::shared_ptr<zq::hub::PortWriter> w = port_writer_if_any(as_hub(self));
    if (!w) Py_RETURN_NONE;
    try {
        return port_dict(w->stats());
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
}

PyObject* record_dict(const ntrip::Record& r) {
    Ref d = Ref::steal(PyDict_New());
    if (!d || !put(d.get(), "type", text(r.type))) return nullptr;
    std::size_t used = 0;
    if (r.type == "STR") {
        const auto names = ntrip::str_field_names();
        for (; used < names.size() && used < r.fields.size(); ++used)
            if (!put(d.get(), names[used], text(r.fields[used]))) return nullptr;
    }
    Ref rest = Ref::steal(PyList_New(0));
    if (!rest) return nullptr;
    for (std::size_t i = used; i < r.fields.size(); ++i) {
        Ref t = Ref::steal(text(r.fields[i]));
        if (!t || PyList_Append(rest.get(), t.get()) < 0) return nullptr;
    }
    if (!put(d.get(), r.type == "STR" ? "misc" : "fields", rest.release())) return nullptr;
    return d.release();
}

PyObject* hub_sourcetable(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"url", "timeout", "version", nullptr};
    const char* url = nullptr;
    double timeout = 10;
    int version = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|di:sourcetable", const_cast<char**>(kw), &url,
                                     &timeout, &version))
        return nullptr;
    if (!positive(timeout)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be > 0");
        return nullptr;
    }
    ntrip::Url parsed;
    ntrip::Version v{};
    try {
        parsed = ntrip::parse_url(url);
        v = version_from(version);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    ntrip::SourceTable table;
    std::string error;
    try {
        pyref::without_gil([&] {
            try {
                table = zq::hub::fetch_sourcetable(parsed, v, timeout);
            } catch (const std::runtime_error& e) {
                error = e.what();
            }
        });
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
    if (!error.empty()) {
        PyErr_SetString(PyExc_OSError, error.c_str());
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& r : table.records) {
        Ref d = Ref::steal(record_dict(r));
        if (!d || PyList_Append(list.get(), d.get()) < 0) return nullptr;
    }
    return list.release();
}

constexpr const char kNtripDoc[] =
    "ntrip(url, gga_interval=10, version=2, *, timeout=10, silence_timeout=20, backoff=1, "
    "backoff_max=60, agent=None)\n\n"
    "Starts the corrections client (replacing one that runs): connects to the NTRIP caster at "
    "url (ntrip://[user:password@]host[:port]/MOUNT) and writes every whole, CRC-valid RTCM 3 "
    "frame it sends to the receiver's port. GGA from the latest fix goes to the caster at "
    "connect and every gga_interval seconds (0: at connect only). version 2 sends the NTRIP 2 "
    "request and falls back to the v1 form when the caster cannot read it. Reconnects after "
    "the caster closes, after timeout seconds without an answer, or silence_timeout seconds "
    "without a valid frame, waiting backoff seconds, doubled each failure up to backoff_max.";

PyMethodDef kMethods[] = {
    {"ntrip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_ntrip)),
     METH_VARARGS | METH_KEYWORDS, kNtripDoc},
    {"ntrip_stop", hub_ntrip_stop, METH_NOARGS,
     "ntrip_stop() -> bool: stops the corrections client; False when none runs."},
    {"sourcetable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_sourcetable)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "Hub.sourcetable(url, timeout=10, version=2) -> list of dict: the caster's source table, "
     "one dict per record ('type' STR, CAS, NET ...; STR records by field name). Raises OSError "
     "when the caster cannot be reached or refuses."},
};

PyGetSetDef kGetset[] = {
    {"port_status", hub_get_port_status, nullptr,
     "The port writer's counts as a dict (None before the receiver's first read): frames and "
     "bytes written to the receiver, partial writes, frames dropped by reason, what waits, the "
     "module's own writes it made way for.",
     nullptr},
    {"ntrip_status", hub_get_ntrip_status, nullptr,
     "The corrections client's status as a dict (None when it does not run): state, caster "
     "answer, bytes and frames received, forwarded and dropped by reason, message types seen, "
     "ages of the last frame, GGA sent, the receiver's diffSoln/carrSoln and RXM-RTCM verdicts "
     "per message type, and recent events.",
     nullptr},
};

}  // namespace

ServiceRows ntrip_rows() {
    return {kMethods, kGetset};
}

}  // namespace zq_hub
