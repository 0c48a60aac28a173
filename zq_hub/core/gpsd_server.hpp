// The hub's gpsd-protocol server: gpsd's own clients (cgps, gpspipe, gpxlogger, python3-gps,
// Home Assistant) connect to it unchanged and see the receiver the hub taps.
//
// One native thread waits in poll() on the listener, the clients and the tap consumer's
// eventfd. Reports are made once per message and shared by every watching client; each client
// has a bounded output queue, and a client whose queue is full is dropped, so a client that
// stops reading never slows the reader (the tap never waits for the server), the host or the
// other clients. The server never writes to the receiver: ?DEVICE is read-only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "hub.hpp"

namespace zq::hub::gpsd {

struct ServerOptions {
    std::string host = "127.0.0.1";               // loopback unless told otherwise
    uint16_t port = 2947;                         // 0: any free port (see Server::port())
    std::size_t max_clients = 64;                 // connections beyond this are refused
    std::size_t client_queue_bytes = 256 * 1024;  // a client with more unsent is dropped
    std::size_t max_request = 1024;               // a longer request gets an ERROR
    std::size_t tap_capacity = 4096;              // items the server's consumer holds
    // Seconds without a NAV-PVT after which a fix is withdrawn (TPV mode 1) even while the
    // reader has not yet called its data stale; 0: three solution intervals, at least 3 s.
    double stale_after = 0;
};

struct ServerStats {
    uint64_t accepted = 0;      // connections taken
    uint64_t refused = 0;       // connections over max_clients
    uint64_t dropped_slow = 0;  // clients dropped because their queue was full
    uint64_t errors_sent = 0;   // ERROR replies
    uint64_t tpv = 0, sky = 0;  // reports made (once each, however many clients)
    uint64_t clients = 0;       // connected now
    uint64_t tap_dropped = 0;   // tap items the server's consumer lost (it fell behind)
};

class Server : public Service {
  public:
    // Binds and listens, then starts the thread; throws std::system_error when the address
    // cannot be bound.
    Server(Hub& hub, ServerOptions options);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::string_view name() const noexcept override { return "gpsd"; }
    void stop() override;

    // The address bound (the port the system chose for port 0).
    uint16_t port() const noexcept { return port_; }
    const std::string& host() const noexcept { return options_.host; }
    ServerStats stats() const;

    struct Impl;

  private:
    Hub& hub_;
    ServerOptions options_;
    uint16_t port_ = 0;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    std::atomic<bool> stopped_{false};
};

}  // namespace zq::hub::gpsd
