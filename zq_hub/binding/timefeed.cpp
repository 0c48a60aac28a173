// The Hub's rows for the time feeds (chrony's SOCK refclock, NTP shared memory) and the host's
// view of the receiver's time (hub.time). The feeds run on native threads (zq_hub/core); their
// rare log lines reach the receiver's logger through a relay thread of each feed, so a feed
// never waits for the interpreter lock.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "../core/chrony.hpp"
#include "../core/shm.hpp"
#include "../core/timetrust.hpp"
#include "hub.hpp"
#include "services.hpp"

namespace zq_hub {
namespace {

using zq::hub::LogLevel;
using zq::hub::TimeFeed;
using zq::hub::TimeSample;

// Log lines from a feed's thread to the receiver's logger (zq_gps's `l`), on a thread of its
// own that takes the interpreter lock for each line. Bounded: beyond kMax waiting lines, new
// ones are counted and dropped.
class LogRelay {
  public:
    static constexpr std::size_t kMax = 32;

    LogRelay() : thread_([this] { run(); }) {}
    ~LogRelay() { stop(); }
    LogRelay(const LogRelay&) = delete;
    LogRelay& operator=(const LogRelay&) = delete;

    void post(LogLevel level, std::string text) {
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
            if (lines_.size() >= kMax) {
                ++lost_;
                return;
            }
            lines_.emplace_back(level, std::move(text));
        }
        cv_.notify_one();
    }

    // Without the interpreter lock: the relay may be waiting for it.
    void stop() {
        {
            std::lock_guard lock(mu_);
            stopping_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

  private:
    void run() {
        std::unique_lock lock(mu_);
        for (;;) {
            cv_.wait(lock, [this] { return stopping_ || !lines_.empty(); });
            if (lines_.empty()) return;  // stopping, and nothing left to say
            auto [level, text] = std::move(lines_.front());
            lines_.pop_front();
            const uint64_t lost = std::exchange(lost_, 0);
            lock.unlock();
            if (lost) text += " (" + std::to_string(lost) + " earlier lines lost)";
            // False once the interpreter is exiting: the line is lost with it.
            pyref::with_gil([&] { emit(level, text); });
            lock.lock();
        }
    }

    static void emit(LogLevel level, const std::string& text) {
        Ref name = Ref::steal(PyUnicode_FromString("zq_gps"));
        Ref module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref{};
        Ref logger = module ? Ref::steal(PyObject_GetAttrString(module.get(), "l")) : Ref{};
        Ref line = logger ? Ref::steal(PyUnicode_DecodeUTF8(
                                text.data(), static_cast<Py_ssize_t>(text.size()), "replace"))
                          : Ref{};
        if (line) {
            const char* method = level == LogLevel::warning ? "warning" : "info";
            Ref fn = Ref::steal(PyObject_GetAttrString(logger.get(), method));
            if (!fn) {
                PyErr_Clear();
                fn = Ref::steal(PyObject_GetAttrString(logger.get(), "info"));
            }
            Ref done = fn ? Ref::steal(PyObject_CallOneArg(fn.get(), line.get())) : Ref{};
        }
        PyErr_Clear();
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::pair<LogLevel, std::string>> lines_;
    uint64_t lost_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

// A feed as the hub runs it: the core feed and its relay, stopped together.
class BoundFeed final : public zq::hub::Service {
  public:
    BoundFeed(std::shared_ptr<TimeFeed> feed, std::shared_ptr<LogRelay> relay)
        : feed_(std::move(feed)), relay_(std::move(relay)) {}
    std::string_view name() const noexcept override { return feed_->name(); }
    void stop() override {
        feed_->stop();
        relay_->stop();
    }

  private:
    std::shared_ptr<TimeFeed> feed_;
    std::shared_ptr<LogRelay> relay_;
};

// What the time rows keep per hub, beside the core hub (whose services the host's threads must
// not hold: a close on another thread may end them at any moment). Guarded by the GIL.
struct TimeState {
    std::weak_ptr<zq::hub::Hub> hub;
    std::shared_ptr<std::atomic<uint32_t>> max_tacc_ns =
        std::make_shared<std::atomic<uint32_t>>(zq::hub::TrustRule{}.max_tacc_ns);
    std::shared_ptr<zq::hub::Consumer> view;  // hub.time's, made on first use
    zq::hub::TimeTrust trust;
    std::optional<TimeSample> last;
    std::weak_ptr<TimeFeed> chrony, shm;
    std::string chrony_path;
    int shm_unit = -1;
};

std::vector<std::unique_ptr<TimeState>>& states() {
    static auto* all = new std::vector<std::unique_ptr<TimeState>>;
    return *all;
}

TimeState& state_of(HubObject* h) {
    auto& all = states();
    std::erase_if(all, [](const auto& s) { return s->hub.expired(); });
    const auto& hub = h->core->hub;
    for (auto& s : all)
        if (s->hub.lock() == hub) return *s;
    auto s = std::make_unique<TimeState>();
    s->hub = hub;
    all.push_back(std::move(s));
    return *all.back();
}

// Runs the hub's add/remove without the GIL: stopping a feed joins its relay, which may be
// waiting for the GIL.
bool run_service(HubObject* h, std::unique_ptr<zq::hub::Service> service, std::string_view name) {
    std::shared_ptr<zq::hub::Hub> hub = h->core->hub;
    return pyref::without_gil([&] {
        if (!service) return hub->remove(name);
        try {
            hub->add(std::move(service));
            return true;
        } catch (const std::logic_error&) {
            return false;  // closed; the service was stopped on its way out
        }
    });
}

zq::hub::LogFn poster(const std::shared_ptr<LogRelay>& relay, const char* who) {
    return [relay, who](LogLevel level, const std::string& text) {
        relay->post(level, std::string("zq_hub ") + who + ": " + text);
    };
}

PyObject* closed_error() {
    PyErr_SetString(PyExc_RuntimeError, "the hub is closed");
    return nullptr;
}

// Maps the core's exceptions; every other one is a bug in the caller's reach.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// serve_chrony(path or None)
PyObject* hub_serve_chrony(PyObject* self, PyObject* arg) {
    HubObject* h = as_hub(self);
    if (h->core->hub->closed()) return closed_error();
    TimeState& st = state_of(h);
    if (arg == Py_None) {
        run_service(h, nullptr, "chrony");
        st.chrony.reset();
        Py_RETURN_NONE;
    }
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(arg, &raw)) return nullptr;
    Ref encoded = Ref::steal(raw);
    std::string path(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return guarded([&]() -> PyObject* {
        auto relay = std::make_shared<LogRelay>();
        auto feed = std::make_shared<zq::hub::ChronyFeed>(h->core->hub->tap(), path, st.max_tacc_ns,
                                                          poster(relay, "chrony"));
        if (!run_service(h, std::make_unique<BoundFeed>(feed, relay), "chrony"))
            return closed_error();
        st.chrony = feed;
        st.chrony_path = path;
        Py_RETURN_NONE;
    });
}

// serve_shm(unit or None)
PyObject* hub_serve_shm(PyObject* self, PyObject* arg) {
    HubObject* h = as_hub(self);
    if (h->core->hub->closed()) return closed_error();
    TimeState& st = state_of(h);
    if (arg == Py_None) {
        run_service(h, nullptr, "shm");
        st.shm.reset();
        Py_RETURN_NONE;
    }
    if (!PyLong_Check(arg) || PyBool_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "serve_shm() takes a unit number or None, not %.100s",
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    const long unit = PyLong_AsLong(arg);
    if (unit == -1 && PyErr_Occurred()) return nullptr;
    if (unit < 0 || unit > 255) {
        PyErr_Format(PyExc_ValueError, "NTP SHM unit must be 0 to 255, not %ld", unit);
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto relay = std::make_shared<LogRelay>();
        auto feed = std::make_shared<zq::hub::ShmFeed>(h->core->hub->tap(), static_cast<int>(unit),
                                                       st.max_tacc_ns, poster(relay, "shm"));
        if (!run_service(h, std::make_unique<BoundFeed>(feed, relay), "shm")) return closed_error();
        st.shm = feed;
        st.shm_unit = static_cast<int>(unit);
        Py_RETURN_NONE;
    });
}

// Sets ITEM[KEY] = VALUE (a new reference, may be NULL); false on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref v = Ref::steal(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

const char* leap_name(zq::hub::Leap l) {
    switch (l) {
        case zq::hub::Leap::insert:
            return "insert";
        case zq::hub::Leap::remove:
            return "delete";
        default:
            return "none";
    }
}

// hub.time
PyObject* hub_get_time(PyObject* self, void*) {
    HubObject* h = as_hub(self);
    TimeState& st = state_of(h);
    auto& tap = h->core->hub->tap();
    return guarded([&]() -> PyObject* {
        st.trust.set_rule({st.max_tacc_ns->load(), st.trust.rule().not_before});
        if (!st.view) {
            zq::hub::Interest interest;
            interest.ubx_keys = {0x0107, 0x0126};
            st.view = tap.subscribe(interest, TimeFeed::kQueue);
            // What came before this first look: the last of each, as history to check by.
            for (uint16_t key : {uint16_t{0x0126}, uint16_t{0x0107}})
                if (auto item = tap.latest(key))
                    if (auto s = st.trust.feed(*item)) st.last = s;
        }
        while (auto item = st.view->try_pop())
            if (auto s = st.trust.feed(*item)) st.last = s;
        if (!st.last) Py_RETURN_NONE;
        const TimeSample& s = *st.last;
        const zq::hub::State now = tap.state();
        const bool trusted = s.trusted() && now == zq::hub::State::live;
        const char* reason =
            trusted ? nullptr
            : now != zq::hub::State::live
                ? (now == zq::hub::State::stale ? "the reader is stale" : "the reader is stopped")
                : zq::hub::to_string(s.verdict);
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        const bool ok =
            put(d.get(), "utc", s.has_time ? PyFloat_FromDouble(s.utc()) : Py_NewRef(Py_None)) &&
            put(d.get(), "accuracy", PyFloat_FromDouble(s.accuracy)) &&
            put(d.get(), "rx_time", PyFloat_FromDouble(s.rx_mono)) &&
            put(d.get(), "rx_real", PyFloat_FromDouble(s.rx_real)) &&
            put(d.get(), "offset",
                s.has_time ? PyFloat_FromDouble(s.offset()) : Py_NewRef(Py_None)) &&
            put(d.get(), "leap", PyUnicode_FromString(leap_name(s.leap))) &&
            put(d.get(), "trusted", PyBool_FromLong(trusted)) &&
            put(d.get(), "reason", reason ? PyUnicode_FromString(reason) : Py_NewRef(Py_None));
        return ok ? d.release() : nullptr;
    });
}

PyObject* hub_get_time_accuracy(PyObject* self, void*) {
    return PyFloat_FromDouble(state_of(as_hub(self)).max_tacc_ns->load() * 1e-9);
}

int hub_set_time_accuracy(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "time_accuracy cannot be deleted");
        return -1;
    }
    const double s = PyFloat_AsDouble(value);
    if (s == -1.0 && PyErr_Occurred()) return -1;
    if (!(s >= 0 && s <= 4.294967295)) {
        PyErr_Format(PyExc_ValueError, "time_accuracy must be 0 to 4.294967295 s, not %R", value);
        return -1;
    }
    state_of(as_hub(self)).max_tacc_ns->store(static_cast<uint32_t>(s * 1e9 + 0.5));
    return 0;
}

PyObject* feed_stats(const std::shared_ptr<TimeFeed>& feed, PyObject* target) {
    Ref t = Ref::steal(target);
    if (!t) return nullptr;
    const zq::hub::FeedStats s = feed->stats();
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    const bool ok = PyDict_SetItemString(d.get(), "target", t.get()) == 0 &&
                    put(d.get(), "solutions", PyLong_FromUnsignedLongLong(s.solutions)) &&
                    put(d.get(), "sent", PyLong_FromUnsignedLongLong(s.sent)) &&
                    put(d.get(), "refused", PyLong_FromUnsignedLongLong(s.refused)) &&
                    put(d.get(), "lost", PyLong_FromUnsignedLongLong(s.lost)) &&
                    put(d.get(), "dropped", PyLong_FromUnsignedLongLong(s.dropped)) &&
                    put(d.get(), "last", PyUnicode_FromString(zq::hub::to_string(s.last)));
    return ok ? d.release() : nullptr;
}

// hub.time_feeds: the running feeds' counts.
PyObject* hub_get_time_feeds(PyObject* self, void*) {
    HubObject* h = as_hub(self);
    TimeState& st = state_of(h);
    return guarded([&]() -> PyObject* {
        const auto running = h->core->hub->names();
        auto runs = [&](std::string_view n) {
            return std::find(running.begin(), running.end(), n) != running.end();
        };
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        if (auto c = st.chrony.lock(); c && runs("chrony")) {
            if (!put(d.get(), "chrony",
                     feed_stats(c, PyUnicode_DecodeFSDefaultAndSize(
                                       st.chrony_path.data(),
                                       static_cast<Py_ssize_t>(st.chrony_path.size())))))
                return nullptr;
        }
        if (auto m = st.shm.lock(); m && runs("shm")) {
            if (!put(d.get(), "shm", feed_stats(m, PyLong_FromLong(st.shm_unit)))) return nullptr;
        }
        return d.release();
    });
}

PyMethodDef time_methods[] = {
    {"serve_chrony", hub_serve_chrony, METH_O,
     "serve_chrony(path): send chronyd one sample per trusted navigation solution through its "
     "SOCK refclock socket PATH (`refclock SOCK PATH` in chrony.conf); a missing socket is "
     "waited for. serve_chrony(None) stops it."},
    {"serve_shm", hub_serve_shm, METH_O,
     "serve_shm(unit): write each trusted navigation solution's time into the NTP shared-memory "
     "segment of UNIT (key 0x4E545030 + unit) for ntpd, ntpsec or chrony's SHM refclock. "
     "serve_shm(None) stops it."},
};

PyGetSetDef time_getset[] = {
    {"time", hub_get_time, nullptr,
     "The receiver's time as of its last navigation solution, or None before one: a dict of "
     "utc (POSIX s, or None), accuracy (s), rx_time (CLOCK_MONOTONIC s, as the receiver's "
     "rx_time), rx_real (system time at receipt), offset (utc - rx_real), leap (\"none\", "
     "\"insert\", \"delete\" at the end of this month), trusted, and reason (why not, or None). "
     "Judged by the feeds' rule; the very first look may find the latest solution unchecked "
     "(nothing before it to check it by) and say so.",
     nullptr},
    {"time_accuracy", hub_get_time_accuracy, hub_set_time_accuracy,
     "The bound (s) the receiver's time accuracy estimate must keep for its time to be trusted; "
     "applies to hub.time and the running feeds. Default 0.001.",
     nullptr},
    {"time_feeds", hub_get_time_feeds, nullptr,
     "The running time feeds' counts: {\"chrony\": {...}, \"shm\": {...}}.", nullptr},
};

}  // namespace

ServiceRows timefeed_rows() {
    return {time_methods, time_getset};
}

}  // namespace zq_hub
