// The hub's writes to the receiver's port.
#include "port.hpp"

namespace zq_hub {

void port_follow(HubObject*, PyObject*) {}

void port_write_begin(HubObject*) {}

void port_write_end(HubObject*) {}

void port_stopped(HubObject*) {}

}  // namespace zq_hub
