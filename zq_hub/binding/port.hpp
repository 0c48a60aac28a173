// The receiver's port as the hub writes to it (corrections): the hub follows the port the
// receiver's current reader reads, and its writes and the module's own (setPowerMode) go out
// one after another, never inside each other's frames. Called with the GIL held; none fails or
// leaves an error set.
//
// The writer (zq_hub/core/port_writer.hpp) runs as the hub's service "port", made on first use;
// it writes to a dup() of the receiver's serial descriptor (its `ser`'s fileno()), taken at each
// new reader and let go when the reader ends.
#pragma once

#include <Python.h>

#include <memory>

#include "../core/port_writer.hpp"
#include "hub.hpp"

namespace zq_hub {

// A pass of the reader loop began with a reader the hub had not seen: RECEIVER's port may be a
// new one.
void port_follow(HubObject* h, PyObject* receiver);
// Around one write of the module's own; port_write_begin may wait, with the GIL released, for
// a hub write in progress to finish.
void port_write_begin(HubObject* h);
void port_write_end(HubObject* h);
// The reader loop ended, or the hub is closing: no more writes to that port.
void port_stopped(HubObject* h);

// The hub's port writer, made when there is none yet; nullptr once the hub is closed.
std::shared_ptr<zq::hub::PortWriter> port_writer(HubObject* h);
// The hub's port writer, or nullptr when none was made (also after the hub closed).
std::shared_ptr<zq::hub::PortWriter> port_writer_if_any(HubObject* h);

}  // namespace zq_hub
