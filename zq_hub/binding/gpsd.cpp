// The Hub's rows for the gpsd protocol server: serve_gpsd(), stop_gpsd() and the address and
// counters of the running server (zq_hub/core/gpsd_server.hpp does the work, on its own thread).
#include <Python.h>

#include <mutex>
#include <stdexcept>
#include <system_error>

#include "../core/gpsd_server.hpp"
#include "hub.hpp"
#include "services.hpp"

namespace zq_hub {
namespace {

using zq::hub::gpsd::Server;
using zq::hub::gpsd::ServerOptions;

// Held while a server is added or removed, and while a getter uses the running one, so that a
// getter never reads a server that stop_gpsd() is destroying. Never held with the GIL wanted.
std::mutex& serving() {
    static std::mutex m;
    return m;
}

Server* running(HubObject* h) {
    return dynamic_cast<Server*>(h->core->hub->find("gpsd"));
}

bool size_arg(Py_ssize_t v, const char* name, std::size_t* out) {
    if (v <= 0) {
        PyErr_Format(PyExc_ValueError, "%s must be positive", name);
        return false;
    }
    *out = static_cast<std::size_t>(v);
    return true;
}

PyObject* hub_serve_gpsd(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"host",        "port",        "max_clients", "queue_bytes",
                               "max_request", "stale_after", nullptr};
    const char* host = "127.0.0.1";
    int port = 2947;
    Py_ssize_t max_clients = 64;
    Py_ssize_t queue_bytes = 256 * 1024;
    Py_ssize_t max_request = 1024;
    double stale_after = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|si$nnnd:serve_gpsd", const_cast<char**>(kw),
                                     &host, &port, &max_clients, &queue_bytes, &max_request,
                                     &stale_after))
        return nullptr;
    if (port < 0 || port > 65535) {
        PyErr_SetString(PyExc_ValueError, "port must be 0..65535 (0: any free port)");
        return nullptr;
    }
    if (!(stale_after >= 0)) {
        PyErr_SetString(PyExc_ValueError, "stale_after must be >= 0 (0: automatic)");
        return nullptr;
    }
    ServerOptions o;
    o.host = host;
    o.port = static_cast<uint16_t>(port);
    o.stale_after = stale_after;
    if (!size_arg(max_clients, "max_clients", &o.max_clients) ||
        !size_arg(queue_bytes, "queue_bytes", &o.client_queue_bytes) ||
        !size_arg(max_request, "max_request", &o.max_request))
        return nullptr;
    HubObject* h = as_hub(self);
    if (!h->receiver || h->core->hub->closed()) {
        PyErr_SetString(PyExc_RuntimeError, "the hub is closed");
        return nullptr;
    }
    std::shared_ptr<zq::hub::Hub> hub = h->core->hub;
    int err = 0;
    std::string what;
    uint16_t bound = 0;
    // Binding, and stopping a server this one replaces, may wait: without the GIL.
    pyref::without_gil([&] {
        std::lock_guard lock(serving());
        try {
            auto server = std::make_unique<Server>(*hub, std::move(o));
            bound = server->port();
            hub->add(std::move(server));
        } catch (const std::system_error& e) {
            err = e.code().value() ? e.code().value() : EINVAL;
            what = e.what();
        } catch (const std::logic_error& e) {
            err = -1;
            what = e.what();
        } catch (const std::exception& e) {
            err = -2;
            what = e.what();
        }
    });
    if (err == -1) {
        PyErr_SetString(PyExc_RuntimeError, what.c_str());
        return nullptr;
    }
    if (err == -2) {
        PyErr_SetString(PyExc_MemoryError, what.c_str());
        return nullptr;
    }
    if (err != 0) {
        Ref e = Ref::steal(Py_BuildValue("(is)", err, what.c_str()));
        if (e) PyErr_SetObject(PyExc_OSError, e.get());
        return nullptr;
    }
    return PyLong_FromLong(bound);
}

PyObject* hub_stop_gpsd(PyObject* self, PyObject*) {
    std::shared_ptr<zq::hub::Hub> hub = as_hub(self)->core->hub;
    const bool stopped = pyref::without_gil([&] {
        std::lock_guard lock(serving());
        return hub->remove("gpsd");
    });
    return PyBool_FromLong(stopped);
}

PyObject* hub_get_gpsd_port(PyObject* self, void*) {
    std::lock_guard lock(serving());
    Server* s = running(as_hub(self));
    if (!s) Py_RETURN_NONE;
    return PyLong_FromLong(s->port());
}

PyObject* hub_get_gpsd_address(PyObject* self, void*) {
    std::lock_guard lock(serving());
    Server* s = running(as_hub(self));
    if (!s) Py_RETURN_NONE;
    return Py_BuildValue("(si)", s->host().c_str(), static_cast<int>(s->port()));
}

PyObject* hub_get_gpsd_stats(PyObject* self, void*) {
    std::lock_guard lock(serving());
    Server* s = running(as_hub(self));
    if (!s) Py_RETURN_NONE;
    const auto st = s->stats();
    return Py_BuildValue(
        "{sKsKsKsKsKsKsKsK}", "accepted", (unsigned long long)st.accepted, "refused",
        (unsigned long long)st.refused, "dropped_slow", (unsigned long long)st.dropped_slow,
        "errors_sent", (unsigned long long)st.errors_sent, "tpv", (unsigned long long)st.tpv, "sky",
        (unsigned long long)st.sky, "clients", (unsigned long long)st.clients, "tap_dropped",
        (unsigned long long)st.tap_dropped);
}

const PyMethodDef kMethods[] = {
    {"serve_gpsd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_serve_gpsd)),
     METH_VARARGS | METH_KEYWORDS,
     "serve_gpsd(host=\"127.0.0.1\", port=2947, *, max_clients=64, queue_bytes=262144,\n"
     "           max_request=1024, stale_after=0) -> int\n\n"
     "Serve gpsd's JSON protocol on HOST:PORT for gpsd's clients (cgps, gpspipe, gpxlogger,\n"
     "python3-gps); returns the port bound (PORT 0: any free one). A running server is\n"
     "replaced. Runs on a native thread; the receiver is never written to. A client with more\n"
     "than QUEUE_BYTES unsent is dropped; a request longer than MAX_REQUEST gets an ERROR;\n"
     "STALE_AFTER seconds without NAV-PVT withdraw the fix (0: three intervals, at least 3 s)."},
    {"stop_gpsd", hub_stop_gpsd, METH_NOARGS,
     "stop_gpsd() -> bool: stop the gpsd server and close its clients; False when none ran."},
};

const PyGetSetDef kGetset[] = {
    {"gpsd_port", hub_get_gpsd_port, nullptr, "The gpsd server's port, or None when none runs.",
     nullptr},
    {"gpsd_address", hub_get_gpsd_address, nullptr,
     "(host, port) of the gpsd server, or None when none runs.", nullptr},
    {"gpsd_stats", hub_get_gpsd_stats, nullptr,
     "The gpsd server's counters (accepted, refused, dropped_slow, errors_sent, tpv, sky,\n"
     "clients, tap_dropped), or None when none runs.",
     nullptr},
};

}  // namespace

ServiceRows gpsd_rows() {
    return {kMethods, kGetset};
}

}  // namespace zq_hub
