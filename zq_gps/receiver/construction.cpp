// zq_gps.__init__: records the settings, gives every value its not-yet-known value, then
// starts reading through run().
#include "receiver.hpp"

namespace zq {
namespace {

// Attributes 11 to 41 after last_Time: parsed_data, index, stopit, flag, port, then the
// NAV-PVT field attributes, all -1.
constexpr Name kFieldAttributes[] = {
    Name::fullyResolved, Name::validMag,      Name::tAcc,          Name::fixType,
    Name::gnssFixOk,     Name::difSoln,       Name::psmState,      Name::headVehValid,
    Name::carrSoln,      Name::confirmedAvai, Name::confirmedDate, Name::confirmedTime,
    Name::numSV,         Name::height,        Name::hMSL,          Name::hAcc,
    Name::vAcc,          Name::velN,          Name::velE,          Name::velD,
    Name::sAcc,          Name::pDOP,          Name::reserved1,     Name::headVeh,
    Name::magDec,        Name::magAcc,
};
static_assert(std::size(kFieldAttributes) == 26);

}  // namespace

PyObject* receiver_init(PyObject* module, PyObject* self, PyObject* const* args) {
    PyObject* gpsmode = args[0];
    PyObject* port = args[1];
    if (!log(module, Name::info, "GPS init")) return nullptr;

    // Attributes 1 to 9.
    if (!setattr_long(module, self, Name::lat, 0) || !setattr_long(module, self, Name::lon, 0) ||
        !setattr_double(module, self, Name::acc, 99.99) ||
        !setattr(module, self, Name::gpsmode, gpsmode) ||
        !setattr_long(module, self, Name::parseddata, -1))
        return nullptr;
    for (Name n : {Name::numofsat, Name::gSpeed, Name::headAcc, Name::headMot}) {
        if (!setattr_long(module, self, n, -1)) return nullptr;
    }

    // 10. last_Time from the host's clock.
    Ref time = global(module, Name::time);
    Ref now = time ? call_method0(module, time.get(), Name::time) : Ref{};
    if (!now || !setattr(module, self, Name::last_Time, now.get())) return nullptr;

    // 11 to 41.
    if (!setattr(module, self, Name::parsed_data, Py_None) ||
        !setattr_long(module, self, Name::index, -1) ||
        !setattr_long(module, self, Name::stopit, 0) ||
        !setattr(module, self, Name::flag, Py_False) || !setattr(module, self, Name::port, port))
        return nullptr;
    for (Name n : kFieldAttributes) {
        if (!setattr_long(module, self, n, -1)) return nullptr;
    }

    if (!call_method0(module, self, Name::run)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
