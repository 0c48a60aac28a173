// What each service adds to the Hub type: its rows of the method and getter tables. One file
// per service defines its function (gpsd.cpp, timefeed.cpp, ntrip.cpp); hub.cpp merges the rows
// into the type when the module is set up.
#pragma once

#include <Python.h>

#include <span>

namespace zq_hub {

struct ServiceRows {
    std::span<const PyMethodDef> methods;  // no sentinel row
    std::span<const PyGetSetDef> getset;   // no sentinel row
};

ServiceRows gpsd_rows();
ServiceRows timefeed_rows();
ServiceRows ntrip_rows();

}  // namespace zq_hub
