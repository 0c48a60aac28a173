// The corrections client: a hub service on a native thread of its own that connects to an
// NTRIP caster, frames what it sends as RTCM 3 and hands every whole, CRC-valid frame to the
// port writer, and nothing else. It sends GGA from the receiver's latest NAV-PVT at connect and
// every gga_interval seconds, reconnects with a capped back-off after the caster closes, a
// time-out, or a stream that carries no valid frame for silence_timeout, and keeps a status a
// host can read: the connection, what came and went, and what the receiver says it does with
// the corrections (NAV-PVT diffSoln/carrSoln, RXM-RTCM per message type). Credentials go into
// the request only: no status field, event or error text carries them. No Python here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hub.hpp"
#include "ntrip_proto.hpp"
#include "port_writer.hpp"
#include "pvt.hpp"
#include "rtcm3.hpp"

namespace zq::hub {

struct NtripOptions {
    ntrip::Url url;
    ntrip::Version version = ntrip::Version::v2;  // the request form tried first
    double gga_interval = 10;                     // s; 0: GGA at connect only
    double connect_timeout = 10;                  // s for the connection and the caster's answer
    double silence_timeout = 20;                  // s without a valid frame: the connection is dead
    double backoff_initial = 1;                   // s before the first reconnect
    double backoff_max = 60;  // s, the cap (and the wait after 401 / no such mountpoint)
    std::string agent;        // after "NTRIP "; empty: zq_hub/<version>
};

// RXM-RTCM's verdicts for one message type.
struct RtcmUse {
    uint64_t used = 0;
    uint64_t not_used = 0;
    uint64_t unknown = 0;
    uint64_t crc_failed = 0;
};

struct NtripEvent {
    uint64_t seq;
    double mono;  // CLOCK_MONOTONIC s
    std::string text;
};

struct NtripStatus {
    std::string state;   // connecting, waiting, streaming, reconnecting, unauthorized,
                         // no mountpoint, stopped
    std::string url;     // redacted
    int version = 2;     // the request form in use now
    std::string answer;  // the caster's last status line
    bool chunked = false;
    std::string last_error;
    uint64_t connects = 0;         // connection attempts
    uint64_t sessions = 0;         // answered with data
    uint64_t bytes_received = 0;   // everything the caster sent, head included
    uint64_t frames_received = 0;  // whole, CRC-valid frames
    rtcm3::FramerStats framer;     // across connections
    uint64_t frames_cut = 0;       // partial frames left when a connection ended
    PortWriterStats port;
    std::map<uint16_t, uint64_t> types;    // valid frames by message number
    std::optional<double> last_frame_age;  // s since the last valid frame came in
    std::optional<double> last_write_age;  // s since the last frame was written to the port
    uint64_t gga_sent = 0;
    std::string last_gga;
    // The receiver, from the tap.
    bool have_pvt = false;
    uint8_t fix_type = 0;
    bool diff_soln = false;
    uint8_t carr_soln = 0;            // 0 none, 1 float, 2 fixed
    uint8_t last_correction_age = 0;  // NAV-PVT flags3 code, 0: none
    std::optional<double> pvt_age;
    std::map<uint16_t, RtcmUse> rxm;  // RXM-RTCM by message type
    uint64_t rxm_messages = 0;
    std::vector<NtripEvent> events;  // the latest kMaxEvents
};

class NtripClient : public Service {
  public:
    static constexpr std::size_t kMaxEvents = 32;

    NtripClient(NtripOptions options, Tap& tap, std::shared_ptr<PortWriter> writer);
    ~NtripClient() override;

    std::string_view name() const noexcept override { return "ntrip"; }
    void stop() override;
    NtripStatus status() const;

  private:
    enum class End : uint8_t {
        stopped,
        connect_failed,
        refused,
        unauthorized,
        no_mount,
        timeout,
        closed
    };
    enum class Wait : uint8_t { ready, timeout, stopped };
    using Clock = std::chrono::steady_clock;

    void run();
    // *STREAMED: at least one valid frame came.
    End session(ntrip::Version version, bool* streamed);
    // Waits for EVENTS on FD (-1: none) until UNTIL, handling the tap's items meanwhile.
    Wait wait_for(int fd, short events, Clock::time_point until);
    bool pause(double seconds);  // false when stopped
    void take_tap_items();
    void take_item(const Item& item);
    void send_gga(int fd);
    std::optional<std::string> current_gga() const;
    void event(std::string text);
    void set_state(const char* state);

    const NtripOptions options_;
    Tap& tap_;
    std::shared_ptr<Consumer> consumer_;
    std::shared_ptr<PortWriter> writer_;
    int stop_fd_ = -1;
    std::atomic<bool> stopping_{false};
    bool consumer_open_ = true;  // the client thread's own
    rtcm3::Framer framer_;       // the client thread's own

    mutable std::mutex mu_;
    NtripStatus status_;
    std::optional<Pvt> pvt_;
    Clock::time_point pvt_at_{};
    std::optional<Clock::time_point> last_frame_at_;
    std::deque<NtripEvent> events_;
    uint64_t event_seq_ = 0;

    std::thread thread_;
};

// Fetches a caster's source table (the mountpoint in URL is ignored). Blocking, up to TIMEOUT
// seconds in all; throws std::runtime_error with a message safe to show (no credentials).
ntrip::SourceTable fetch_sourcetable(const ntrip::Url& url, ntrip::Version version, double timeout,
                                     const std::string& agent = {});

}  // namespace zq::hub
