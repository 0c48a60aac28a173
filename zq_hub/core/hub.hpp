// The hub's native side: the tap and the services that consume it on their own threads (the
// gpsd server, the time feeds, the corrections client). No Python here; the binding
// (zq_hub/binding) feeds the tap from the reader and starts services at the host's request.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tap.hpp"

namespace zq::hub {

// A service the hub runs. It consumes the tap through consumers of its own and must never
// block the producer.
class Service {
  public:
    virtual ~Service() = default;
    // Short, unique per hub: "gpsd", "chrony", "shm", "ntrip".
    virtual std::string_view name() const noexcept = 0;
    // Stops the service's threads and waits for them. Called once; the service is destroyed
    // right after.
    virtual void stop() = 0;
};

class Hub {
  public:
    Hub() = default;
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    Tap& tap() noexcept { return tap_; }

    // The receiver's device as the services name it (its port's path), set by the binding
    // when a new reader starts; empty until then.
    void set_device(std::string path);
    std::string device() const;

    // Runs SERVICE from now on; a running service of the same name is stopped and replaced.
    // Throws std::logic_error once the hub is closed.
    void add(std::unique_ptr<Service> service);
    // The running service NAME, or nullptr. The pointer stays valid until the service is
    // replaced or the hub is closed.
    Service* find(std::string_view name) const;
    // Stops the service NAME; false when none runs.
    bool remove(std::string_view name);
    std::vector<std::string> names() const;

    // Stops every service, then closes the tap (waking every consumer). Idempotent.
    void close();
    bool closed() const;

  private:
    Tap tap_;
    mutable std::mutex mu_;
    std::string device_;
    std::vector<std::unique_ptr<Service>> services_;
    bool closed_ = false;
};

}  // namespace zq::hub
