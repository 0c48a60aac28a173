// The contract between zq_hub and the two modules it hears from: the zq_gps reader loop and the
// codec's UBXReader. They are separate extension modules and link none of each other; they meet
// only through this header and two capsules.
//
//  - zq_gps finds the observer at the moment it notifies: sys.modules["zq_hub"]._observer, a
//    capsule named kObserverCapsule holding a const Observer*. A host that never imports zq_hub
//    pays one dictionary look-up per notification.
//  - the hub gives a UBXReader its tap through UBXReader._set_tap(capsule or None), a capsule
//    named kTapCapsule holding a const TapSink*. The reader keeps a reference to the capsule,
//    and so the sink stays valid, until _set_tap is called again or the reader is freed.
//
// Every function here is called by a thread that holds the GIL. None may block (write_begin
// excepted, which lets the GIL go while it waits), and none may leave a Python error set or let
// a C++ exception out: the reader loop and the codec never fail because of the hub.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace zq_hub_abi {

inline constexpr unsigned kVersion = 1;
inline constexpr const char* kObserverCapsule = "zq_hub._observer";
inline constexpr const char* kTapCapsule = "zq_hub.tap_sink";

// What a UBXReader hands its tap: each delivered UBX frame (sync chars to checksum), and every
// byte its scanner stepped over (NMEA, RTCM 3, noise: whatever is not inside a frame), in the
// order they came off the port, each byte exactly once.
enum class TapKind : uint8_t { ubx_frame = 1, skipped = 2 };

struct TapSink {
    unsigned version;  // kVersion
    void* ctx;
    // rx_mono: CLOCK_MONOTONIC seconds of the read that took the last byte of DATA (what the
    // frame's message reports as rx_time); rx_real: CLOCK_REALTIME seconds at that same read.
    void (*push)(void* ctx, TapKind kind, const uint8_t* data, std::size_t n, double rx_mono,
                 double rx_real);
};

// The reader loop's state as the hub reports it: live while `flag` would be True; stale while a
// reader runs without live data (before its first message, or once a stall makes `flag`
// False); stopped once the reader loop has ended for good (stop, give-up, error).
enum class LoopState : uint8_t { live = 0, stale = 1, stopped = 2 };

// What a zq_gps reader loop tells the hub; RECEIVER is the zq_gps object, borrowed.
struct Observer {
    unsigned version;  // kVersion
    // Before each read, with the reader this pass reads from (a new reader after run/restart,
    // or one the host put in place): the hub taps it if it is not tapped yet.
    void (*pass_begin)(PyObject* receiver, PyObject* ubr);
    // After each read that returned a message, whatever its identity: (raw, msg) as read()
    // returned them.
    void (*message_read)(PyObject* receiver, PyObject* raw, PyObject* msg);
    // After the pass that accepted MSG has made all its stores: getgps() now shows it.
    void (*accepted)(PyObject* receiver, PyObject* msg);
    // The loop has set `flag` False for a stall (stale), or is ending without a restart
    // (stopped).
    void (*state)(PyObject* receiver, LoopState state);
    // Around every write the module makes to the receiver's port (setPowerMode), so that the
    // hub's own writes (corrections) never interleave with it inside a frame. write_begin may
    // wait, with the GIL released, for a hub write in progress to finish; write_end always
    // follows a write_begin.
    void (*write_begin)(PyObject* receiver);
    void (*write_end)(PyObject* receiver);
};

}  // namespace zq_hub_abi
