// loop_gps: the reader thread's body. Each pass pauses, honours the stop request, reads one
// message and, when its identity is the chosen one, stores its values attribute by attribute.
// It ends on the stop request or at the 101st failure since the last accepted message.

#include "error.hpp"
#include "receiver.hpp"

namespace zq {
namespace {

constexpr long kFailureLimit = 100;

// Copied as delivered when the message has them, in this order.
constexpr Name kOptionalFields[] = {
    Name::gSpeed,        Name::headMot,   Name::headAcc,       Name::fullyResolved,
    Name::validMag,      Name::tAcc,      Name::fixType,       Name::gnssFixOk,
    Name::difSoln,       Name::psmState,  Name::headVehValid,  Name::carrSoln,
    Name::confirmedAvai, Name::numSV,     Name::confirmedDate, Name::confirmedTime,
    Name::height,        Name::hMSL,      Name::hAcc,          Name::vAcc,
    Name::velN,          Name::velE,      Name::velD,          Name::sAcc,
    Name::pDOP,          Name::reserved1, Name::headVeh,       Name::magDec,
    Name::magAcc,
};
static_assert(std::size(kOptionalFields) == 29);

// Removes this thread from the retired list on every way out of the loop.
class RetiredGuard {
  public:
    RetiredGuard(PyObject* self) : self_(self), ident_(PyThread_get_thread_ident()) {}
    ~RetiredGuard() { as_receiver(self_)->retired.remove(ident_); }
    bool retired() const { return as_receiver(self_)->retired.contains(ident_); }

  private:
    PyObject* self_;
    unsigned long ident_;
};

Ref now(PyObject* module) {
    Ref time = global(module, Name::time);
    return time ? call_method0(module, time.get(), Name::time) : Ref{};
}

// msg.NAME / DIVISOR, a true division.
bool store_scaled(PyObject* module, PyObject* self, PyObject* msg, Name field, Name target,
                  long divisor) {
    Ref v = getattr(module, msg, field);
    Ref d = v ? Ref::steal(PyLong_FromLong(divisor)) : Ref{};
    Ref q = d ? Ref::steal(PyNumber_TrueDivide(v.get(), d.get())) : Ref{};
    return q && setattr(module, self, target, q.get());
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

// One guarded pass: steps that may fail with an ordinary error, counted by the caller.
Pass read_once(PyObject* module, PyObject* self, const RetiredGuard& guard, Ref& last_ts,
               Ref& accepted) {
    Ref ubr = getattr(module, self, Name::ubr);
    if (!ubr) return Pass::failed;
    // Checked after `ubr` is taken and before it is read, with the GIL held throughout, so a
    // reader retired by restart never reads from the port that restart opens.
    if (guard.retired()) return Pass::retired;
    Ref result = call_method0(module, ubr.get(), Name::read);
    Ref pair[2];
    if (!result || !unpack_pair(result.get(), pair)) return Pass::failed;
    PyObject* msg = pair[1].get();

    int present = PyObject_RichCompareBool(msg, Py_None, Py_NE);
    if (present < 0) return Pass::failed;
    if (!present || PyUnicode_CheckExact(msg)) return Pass::next;

    Ref identity = getattr(module, msg, Name::identity);
    Ref gpsmode = identity ? getattr(module, self, Name::gpsmode) : Ref{};
    if (!gpsmode) return Pass::failed;
    int same = PyObject_RichCompareBool(identity.get(), gpsmode.get(), Py_EQ);
    if (same < 0) return Pass::failed;
    if (!same) return Pass::next;

    if (!setattr(module, self, Name::parsed_data, msg) ||
        !store_scaled(module, self, msg, Name::lon, Name::lon, 10000000) ||
        !store_scaled(module, self, msg, Name::lat, Name::lat, 10000000) ||
        !store_scaled(module, self, msg, Name::pDOP, Name::acc, 100))
        return Pass::failed;
    Ref numsv = getattr(module, msg, Name::numSV);
    if (!numsv || !setattr(module, self, Name::numofsat, numsv.get()) ||
        !setattr(module, self, Name::last_Time, last_ts.get()) ||
        !setattr(module, self, Name::flag, Py_True))
        return Pass::failed;
    accepted = pair[1];
    return Pass::accepted;
}

// After an accepted message: the rate-limited debug dump, then the optional fields.
bool after_accept(PyObject* module, PyObject* self, PyObject* msg, Ref& last_ts) {
    Ref t = now(module);
    Ref one = t ? Ref::steal(PyLong_FromLong(1)) : Ref{};
    Ref limit = one ? Ref::steal(PyNumber_Add(last_ts.get(), one.get())) : Ref{};
    int later = limit ? PyObject_RichCompareBool(t.get(), limit.get(), Py_GT) : -1;
    if (later < 0) return false;
    if (later) {
        if (!log(module, Name::debug, msg)) return false;
        Ref t2 = now(module);
        if (!t2) return false;
        last_ts = t2;
    }
    for (Name n : kOptionalFields) {
        Ref probe = getattr(module, msg, n);
        if (!probe) {
            if (!ordinary_error_pending()) return false;
            PyErr_Clear();
            continue;
        }
        Ref v = getattr(module, msg, n);
        if (!v || !setattr(module, self, n, v.get())) return false;
    }
    return true;
}

}  // namespace

PyObject* receiver_loop(PyObject* module, PyObject* self, PyObject* const*) {
    RetiredGuard guard(self);
    long error_counter = 0;
    Ref last_ts = now(module);
    if (!last_ts) return nullptr;
    Ref pause = Ref::steal(PyFloat_FromDouble(0.025));
    if (!pause) return nullptr;

    for (;;) {
        Ref time = global(module, Name::time);
        if (!time || !call_method1(module, time.get(), Name::sleep, pause.get())) return nullptr;
        Ref stopit = getattr(module, self, Name::stopit);
        int stop = stopit ? PyObject_IsTrue(stopit.get()) : -1;
        if (stop < 0) return nullptr;
        if (stop) break;

        Ref msg;
        Pass pass = read_once(module, self, guard, last_ts, msg);
        if (pass == Pass::retired) Py_RETURN_NONE;
        if (pass == Pass::accepted) {
            error_counter = 0;
            if (after_accept(module, self, msg.get(), last_ts)) continue;
            pass = Pass::failed;
        }
        if (pass == Pass::next) continue;

        if (!ordinary_error_pending()) return nullptr;
        Ref e = take_error();
        if (++error_counter > kFailureLimit) {
            if (!report_error(module, e.get(), 2)) return nullptr;
            Ref text = Ref::steal(PyObject_Str(e.get()));
            if (!text || !host_print(module, text.get())) return nullptr;
            break;
        }
    }
    if (!setattr(module, self, Name::flag, Py_False)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
