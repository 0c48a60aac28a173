// loop_gps: the reader thread's body. Each pass pauses, honours the stop request, reads one
// message and, when its identity is the chosen one, stores its values as the attribute table
// (attributes.hpp) says. It ends on the stop request or at the 101st failure since the last
// accepted message.
//
// Two things keep what the host sees fresh. The pause is skipped while the reader reports a
// backlog (UBXReader.backlog: bytes taken but not yet scanned, or bytes waiting in the port),
// so a busy receiver is drained at the rate it sends; with nothing waiting, and with a reader
// that cannot tell, every pass pauses as before. And when no chosen message has been accepted
// for longer than three of its own intervals (at least 1.5 s), `flag` goes False with one
// "GPS data stale" record; the next accepted message sets it True again, with
// "GPS data resumed". Both run on the monotonic clock, never on the module's replaceable
// `time`, so a host's stand-in clock cannot trigger them.

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

#include "error.hpp"
#include "hub_notify.hpp"
#include "receiver.hpp"

namespace zq {
namespace {

using attributes::Attribute;
using attributes::Fill;

constexpr long kFailureLimit = 100;

constexpr double kStaleFloor = 1.5;        // seconds
constexpr double kStaleIntervals = 3;      // intervals of the chosen message
constexpr std::size_t kIntervalsKept = 3;  // the shortest of these is the message's interval

double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When the data shown stops being live. The message's interval is the shortest of the last
// few between accepted messages: one late message, a stall or a burst drained from a backlog
// does not stretch it, and a receiver whose rate really changed is followed within a few
// messages.
class Freshness {
  public:
    void accepted(double now) {
        if (accepted_) {
            intervals_[next_] = now - last_;
            next_ = (next_ + 1) % kIntervalsKept;
            kept_ = std::min(kept_ + 1, kIntervalsKept);
        }
        accepted_ = true;
        last_ = now;
    }
    // Live data that has gone stale: true once per stall, then false until resumed().
    bool goes_stale(double now) {
        if (!accepted_ || stale_ || now - last_ <= limit()) return false;
        stale_ = true;
        return true;
    }
    // True when the message just accepted ends a stall.
    bool resumed() { return std::exchange(stale_, false); }

  private:
    double limit() const {
        if (kept_ == 0) return kStaleFloor;
        const double shortest = *std::min_element(intervals_.begin(), intervals_.begin() + kept_);
        return std::max(kStaleFloor, kStaleIntervals * shortest);
    }

    std::array<double, kIntervalsKept> intervals_{};
    std::size_t next_ = 0;
    std::size_t kept_ = 0;
    double last_ = 0;
    bool accepted_ = false;
    bool stale_ = false;
};

// Removes this thread from the retired list on every way out of the loop but the thread's end
// at interpreter exit, which leaves the object alone (no GIL).
class RetiredGuard {
  public:
    RetiredGuard(PyObject* self) : self_(self), ident_(PyThread_get_thread_ident()) {}
    ~RetiredGuard() {
        if (pyref::holds_gil()) as_receiver(self_)->retired.remove(ident_);
    }
    bool retired() const { return as_receiver(self_)->retired.contains(ident_); }

  private:
    PyObject* self_;
    unsigned long ident_;
};

Ref now(PyObject* module) {
    Ref time = global(module, Name::time);
    return time ? call_method0(module, time.get(), Name::time) : Ref{};
}

// One of the stores the loop makes for every accepted message MSG; STAMP is the loop's time
// stamp of its last debug record, or of its start before the first.
bool store_required(PyObject* module, PyObject* self, PyObject* msg, const Attribute& a,
                    PyObject* stamp) {
    const Fill& f = a.fill;
    switch (f.kind) {
        case Fill::message:
            return setattr(module, self, a.name, msg);
        case Fill::scaled: {
            Ref v = getattr(module, msg, f.source);
            Ref d = v ? Ref::steal(PyLong_FromLong(f.divisor)) : Ref{};
            Ref q = d ? Ref::steal(PyNumber_TrueDivide(v.get(), d.get())) : Ref{};
            return q && setattr(module, self, a.name, q.get());
        }
        case Fill::copied: {
            Ref v = getattr(module, msg, f.source);
            return v && setattr(module, self, a.name, v.get());
        }
        case Fill::stamp:
            return setattr(module, self, a.name, stamp);
        case Fill::live:
            return setattr(module, self, a.name, Py_True);
        case Fill::none:
        case Fill::optional:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "zq_gps: not a required store");
    return false;
}

// Sets *OUT to the two elements of RESULT, unpacked as `raw_data, parsed_data = result`.
bool unpack_pair(PyObject* result, Ref* out) {
    Ref seq = Ref::steal(PySequence_Fast(result, "cannot unpack non-iterable object"));
    if (!seq) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n != 2) {
        if (n > 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        } else {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        }
        return false;
    }
    out[0] = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
    out[1] = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
    return true;
}

enum class Pass { next, accepted, retired, failed };

// UBXReader.backlog, looked up on the reader of this pass: 1 when the next read can return at
// once, 0 when not or when the reader cannot tell (a stand-in without it), -1 with an
// interrupt or exit request pending.
int backlog(PyObject* ubr) {
    static PyObject* const attr = PyUnicode_InternFromString("backlog");
    if (!attr) return -1;
    Ref v = Ref::steal(PyObject_GetAttr(ubr, attr));
    const int truth = v ? PyObject_IsTrue(v.get()) : -1;
    if (truth >= 0) return truth;
    if (!ordinary_error_pending()) return -1;
    PyErr_Clear();
    return 0;
}

// One guarded pass: steps that may fail with an ordinary error, counted by the caller. UBR is
// the reader this pass read from (empty when it has none).
Pass read_once(PyObject* module, PyObject* self, const RetiredGuard& guard, Ref& last_ts,
               Freshness& fresh, Ref& ubr, Ref& accepted) {
    if (fresh.goes_stale(monotonic_seconds())) {
        if (!setattr(module, self, Name::flag, Py_False) ||
            !log(module, Name::info, "GPS data stale"))
            return Pass::failed;
        hub_notify::state(module, self, zq_hub_abi::LoopState::stale);
    }
    ubr = getattr(module, self, Name::ubr);
    if (!ubr) return Pass::failed;
    // Checked after `ubr` is taken and before it is read, with the GIL held throughout, so a
    // reader retired by restart never reads from the port that restart opens.
    if (guard.retired()) return Pass::retired;
    hub_notify::pass_begin(module, self, ubr.get());
    Ref result = call_method0(module, ubr.get(), Name::read);
    // A read may have waited with the GIL released: a restart meanwhile has reset the values,
    // and this reader's message must not overwrite them; the failure of a read from the port
    // that restart closed is no failure of the new reader's.
    if (guard.retired()) {
        if (!result && !ordinary_error_pending()) return Pass::failed;
        PyErr_Clear();
        return Pass::retired;
    }
    Ref pair[2];
    if (!result || !unpack_pair(result.get(), pair)) return Pass::failed;
    PyObject* msg = pair[1].get();

    int present = PyObject_RichCompareBool(msg, Py_None, Py_NE);
    if (present < 0) return Pass::failed;
    if (!present || PyUnicode_CheckExact(msg)) return Pass::next;
    hub_notify::message_read(module, self, pair[0].get(), msg);

    Ref identity = getattr(module, msg, Name::identity);
    Ref gpsmode = identity ? getattr(module, self, Name::gpsmode) : Ref{};
    if (!gpsmode) return Pass::failed;
    int same = PyObject_RichCompareBool(identity.get(), gpsmode.get(), Py_EQ);
    if (same < 0) return Pass::failed;
    if (!same) return Pass::next;

    for (std::size_t i : attributes::kRequired) {
        if (!store_required(module, self, msg, attributes::kTable[i], last_ts.get()))
            return Pass::failed;
    }
    fresh.accepted(monotonic_seconds());
    accepted = pair[1];
    return Pass::accepted;
}

// After an accepted message: the word that a stall has ended, the rate-limited debug dump,
// then the optional fields.
Pass after_accept(PyObject* module, PyObject* self, const RetiredGuard& guard, PyObject* msg,
                  Ref& last_ts, Freshness& fresh) {
    if (fresh.resumed() && !log(module, Name::info, "GPS data resumed")) return Pass::failed;
    Ref t = now(module);
    Ref one = t ? Ref::steal(PyLong_FromLong(1)) : Ref{};
    Ref limit = one ? Ref::steal(PyNumber_Add(last_ts.get(), one.get())) : Ref{};
    int later = limit ? PyObject_RichCompareBool(t.get(), limit.get(), Py_GT) : -1;
    if (later < 0) return Pass::failed;
    if (later) {
        if (!log(module, Name::debug, msg)) return Pass::failed;
        Ref t2 = now(module);
        if (!t2) return Pass::failed;
        last_ts = t2;
    }
    // The log may have let a restart in: its reset values stay.
    if (guard.retired()) return Pass::retired;
    for (std::size_t i : attributes::kOptional) {
        const Attribute& a = attributes::kTable[i];
        Ref probe = getattr(module, msg, a.fill.source);
        if (!probe) {
            if (!ordinary_error_pending()) return Pass::failed;
            PyErr_Clear();
            continue;
        }
        Ref v = getattr(module, msg, a.fill.source);
        if (!v || !setattr(module, self, a.name, v.get())) return Pass::failed;
    }
    return Pass::next;
}

}  // namespace

namespace {

PyObject* loop_body(PyObject* module, PyObject* self, const RetiredGuard& guard) {
    Freshness fresh;
    long error_counter = 0;
    Ref last_ts = now(module);
    if (!last_ts) return nullptr;
    Ref pause = Ref::steal(PyFloat_FromDouble(0.025));
    if (!pause) return nullptr;

    for (bool drain = false;;) {
        if (!drain) {
            Ref time = global(module, Name::time);
            if (!time || !call_method1(module, time.get(), Name::sleep, pause.get()))
                return nullptr;
        }
        Ref stopit = getattr(module, self, Name::stopit);
        int stop = stopit ? PyObject_IsTrue(stopit.get()) : -1;
        if (stop < 0) return nullptr;
        if (stop) break;

        Ref ubr;
        Ref msg;
        Pass pass = read_once(module, self, guard, last_ts, fresh, ubr, msg);
        if (pass == Pass::accepted) {
            error_counter = 0;
            pass = after_accept(module, self, guard, msg.get(), last_ts, fresh);
            if (pass == Pass::next) hub_notify::accepted(module, self, msg.get());
        }
        if (pass == Pass::retired) Py_RETURN_NONE;
        if (pass == Pass::failed) {
            if (!ordinary_error_pending()) return nullptr;
            Ref e = take_error();
            if (++error_counter > kFailureLimit) {
                if (!report_error(module, e.get(), 2)) return nullptr;
                Ref text = Ref::steal(PyObject_Str(e.get()));
                if (!text || !host_print(module, text.get())) return nullptr;
                break;
            }
        }
        const int more = ubr ? backlog(ubr.get()) : 0;
        if (more < 0) return nullptr;
        drain = more == 1;
    }
    if (!setattr(module, self, Name::flag, Py_False)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* receiver_loop(PyObject* module, PyObject* self, PyObject* const*) {
    RetiredGuard guard(self);
    PyObject* result = loop_body(module, self, guard);
    // A retired loop hands over to the reader that retired it; any other way out ends reading.
    if (!guard.retired()) hub_notify::state(module, self, zq_hub_abi::LoopState::stopped);
    return result;
}

}  // namespace zq
