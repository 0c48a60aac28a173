// The corrections client's thread: connection, answer, framing, GGA, reconnects, status.
#include "ntrip_client.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "gga.hpp"

#ifndef ZQ_VERSION
#define ZQ_VERSION "0"
#endif

namespace zq::hub {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kNavPvt = 0x0107;
constexpr uint16_t kRxmRtcm = 0x0232;
constexpr std::size_t kReadSize = 16 * 1024;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int poll_ms(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 60'000));
}

std::string default_agent(const std::string& agent) {
    return agent.empty() ? std::string("zq_hub/") + ZQ_VERSION : agent;
}

std::string fmt_seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g s", s);
    return buf;
}

struct Socket {
    int fd = -1;
    Socket() = default;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    Socket(Socket&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) {
            if (fd >= 0) ::close(fd);
            fd = std::exchange(o.fd, -1);
        }
        return *this;
    }
};

// 1 ready, 0 time-out, -1 stopped.
template <class WaitFn>
Socket open_connection(const ntrip::Url& url, Clock::time_point until, WaitFn&& wait,
                       std::string* err, bool* stopped) {
    *stopped = false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(url.port);
    if (const int rc = getaddrinfo(url.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *err = "cannot resolve " + url.host + ": " + gai_strerror(rc);
        return {};
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    *err = "cannot connect to " + url.host_header();
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        Socket s(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          ai->ai_protocol));
        if (s.fd < 0) continue;
        if (::connect(s.fd, ai->ai_addr, ai->ai_addrlen) == 0) return s;
        if (errno != EINPROGRESS) {
            *err = "cannot connect to " + url.host_header() + ": " + std::strerror(errno);
            continue;
        }
        const int w = wait(s.fd, POLLOUT, until);
        if (w < 0) {
            *stopped = true;
            return {};
        }
        if (w == 0) {
            *err = "no connection to " + url.host_header() + " within the time-out";
            continue;
        }
        int so = 0;
        socklen_t len = sizeof so;
        if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &so, &len) == 0 && so == 0) return s;
        *err = "cannot connect to " + url.host_header() + ": " + std::strerror(so ? so : errno);
    }
    return {};
}

// Sends all of DATA within UNTIL; false on failure or stop.
template <class WaitFn>
bool send_all(int fd, std::string_view data, Clock::time_point until, WaitFn&& wait) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (wait(fd, POLLOUT, until) <= 0) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

NtripClient::NtripClient(NtripOptions options, Tap& tap, std::shared_ptr<PortWriter> writer)
    : options_(std::move(options)), tap_(tap), writer_(std::move(writer)) {
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    Interest interest;
    interest.ubx_keys = {kNavPvt, kRxmRtcm};
    interest.state = false;
    try {
        consumer_ = tap_.subscribe(std::move(interest), 64, true);
    } catch (...) {
        ::close(stop_fd_);
        throw;
    }
    status_.state = "connecting";
    status_.url = options_.url.redacted();
    status_.version = static_cast<int>(options_.version);
    // The latest solution from before the start, for the first GGA.
    if (ItemPtr last = tap_.latest(kNavPvt)) take_item(*last);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        tap_.unsubscribe(consumer_);
        ::close(stop_fd_);
        throw;
    }
}

NtripClient::~NtripClient() {
    stop();
    ::close(stop_fd_);
}

void NtripClient::stop() {
    if (!stopping_.exchange(true)) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    // Once only: the hub (and its tap) may be gone by the time the client is destroyed.
    if (consumer_) {
        tap_.unsubscribe(consumer_);
        consumer_->close();
        consumer_.reset();
    }
    std::lock_guard lock(mu_);
    status_.state = "stopped";
}

void NtripClient::event(std::string text) {
    std::lock_guard lock(mu_);
    events_.push_back({++event_seq_, monotonic_seconds(), std::move(text)});
    while (events_.size() > kMaxEvents)
        events_.pop_front();
}

void NtripClient::set_state(const char* state) {
    std::lock_guard lock(mu_);
    status_.state = state;
}

NtripStatus NtripClient::status() const {
    const PortWriterStats port = writer_ ? writer_->stats() : PortWriterStats{};
    std::lock_guard lock(mu_);
    NtripStatus s = status_;
    s.framer = status_.framer;
    s.port = port;
    const auto now = Clock::now();
    const double mono = monotonic_seconds();
    if (last_frame_at_)
        s.last_frame_age = std::chrono::duration<double>(now - *last_frame_at_).count();
    if (port.last_write_mono > 0) s.last_write_age = std::max(0.0, mono - port.last_write_mono);
    if (pvt_) s.pvt_age = std::chrono::duration<double>(now - pvt_at_).count();
    s.events.assign(events_.begin(), events_.end());
    return s;
}

// ---------------------------------------------------------------------------------------------
// The tap: the receiver's solution and its verdicts on the corrections

void NtripClient::take_item(const Item& item) {
    if (item.kind != Kind::ubx) return;
    if (item.key() == kNavPvt) {
        const auto pvt = decode_pvt(item.bytes);
        if (!pvt) return;
        std::lock_guard lock(mu_);
        pvt_ = *pvt;
        pvt_at_ = Clock::now();
        status_.have_pvt = true;
        status_.fix_type = pvt->fixType;
        status_.diff_soln = pvt->difSoln;
        status_.carr_soln = pvt->carrSoln;
        status_.last_correction_age = pvt->lastCorrectionAge;
    } else if (item.key() == kRxmRtcm) {
        const auto p = item.payload();
        if (p.size() < 8) return;
        const uint8_t flags = p[1];
        const auto type = static_cast<uint16_t>(p[6] | p[7] << 8);
        std::lock_guard lock(mu_);
        RtcmUse& use = status_.rxm[type];
        ++status_.rxm_messages;
        if (flags & 0x01) {
            ++use.crc_failed;
        } else {
            switch ((flags >> 1) & 0x03) {
                case 1:
                    ++use.not_used;
                    break;
                case 2:
                    ++use.used;
                    break;
                default:
                    ++use.unknown;
                    break;
            }
        }
    }
}

void NtripClient::take_tap_items() {
    while (ItemPtr item = consumer_->try_pop())
        take_item(*item);
    // A closed tap (the hub is closing) stays readable: no more waiting on it.
    if (consumer_->closed() && consumer_->size() == 0) consumer_open_ = false;
}

NtripClient::Wait NtripClient::wait_for(int fd, short events, Clock::time_point until) {
    for (;;) {
        if (stopping_) return Wait::stopped;
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {stop_fd_, POLLIN, 0};
        const nfds_t tap_at = consumer_open_ ? n++ : 0;
        if (consumer_open_) fds[tap_at] = {consumer_->fd(), POLLIN, 0};
        const nfds_t fd_at = fd >= 0 ? n++ : 0;
        if (fd >= 0) fds[fd_at] = {fd, events, 0};
        const int r = ::poll(fds, n, poll_ms(until));
        if (r < 0 && errno != EINTR) return Wait::timeout;
        if (stopping_ || (r > 0 && fds[0].revents)) return Wait::stopped;
        if (r > 0 && consumer_open_ && fds[tap_at].revents) take_tap_items();
        if (r > 0 && fd >= 0 && fds[fd_at].revents) return Wait::ready;
        if (Clock::now() >= until) return Wait::timeout;
    }
}

bool NtripClient::pause(double s) {
    return wait_for(-1, 0, Clock::now() + seconds(s)) != Wait::stopped;
}

std::optional<std::string> NtripClient::current_gga() const {
    std::lock_guard lock(mu_);
    if (!pvt_) return std::nullopt;
    return gga_from_pvt(*pvt_);
}

void NtripClient::send_gga(int fd) {
    const auto gga = current_gga();
    if (!gga) return;
    const std::string line = *gga + "\r\n";
    auto wait = [this](int f, short ev, Clock::time_point until) {
        const Wait w = wait_for(f, ev, until);
        return w == Wait::ready ? 1 : w == Wait::timeout ? 0 : -1;
    };
    if (!send_all(fd, line, Clock::now() + std::chrono::seconds(2), wait)) return;
    std::lock_guard lock(mu_);
    ++status_.gga_sent;
    status_.last_gga = *gga;
}

// ---------------------------------------------------------------------------------------------
// Connections

NtripClient::End NtripClient::session(ntrip::Version version, bool* streamed) {
    *streamed = false;
    {
        std::lock_guard lock(mu_);
        status_.state = "connecting";
        status_.version = static_cast<int>(version);
        ++status_.connects;
    }
    event("connecting to " + options_.url.redacted() + " (NTRIP v" +
          std::to_string(static_cast<int>(version)) + ")");
    auto wait = [this](int f, short ev, Clock::time_point until) {
        const Wait w = wait_for(f, ev, until);
        return w == Wait::ready ? 1 : w == Wait::timeout ? 0 : -1;
    };
    std::string err;
    bool stopped = false;
    Socket sock = open_connection(options_.url, Clock::now() + seconds(options_.connect_timeout),
                                  wait, &err, &stopped);
    if (stopped) return End::stopped;
    if (sock.fd < 0) {
        std::lock_guard lock(mu_);
        status_.last_error = err;
        return End::connect_failed;
    }

    const auto gga = current_gga();
    const std::string request = ntrip::build_request(options_.url, version, gga.value_or(""),
                                                     default_agent(options_.agent));
    if (!send_all(sock.fd, request, Clock::now() + seconds(options_.connect_timeout), wait)) {
        if (stopping_) return End::stopped;
        std::lock_guard lock(mu_);
        status_.last_error = "the caster took no request";
        return End::connect_failed;
    }
    bool gga_sent_here = false;
    if (gga) {
        gga_sent_here = true;
        std::lock_guard lock(mu_);
        ++status_.gga_sent;
        status_.last_gga = *gga;
        status_.state = "waiting";
    } else {
        set_state("waiting");
    }

    ntrip::ResponseReader reader;
    framer_.reset();
    std::vector<uint8_t> body;
    std::vector<uint8_t> buf(kReadSize);
    auto deadline = Clock::now() + seconds(options_.connect_timeout);
    const bool periodic = options_.gga_interval > 0;
    auto next_gga = Clock::now() + seconds(periodic ? options_.gga_interval : 0);
    std::optional<Clock::time_point> last_frame_here;

    const auto finish = [&](End end, std::string why) {
        const std::size_t cut = framer_.buffered();
        std::lock_guard lock(mu_);
        if (cut > 0) ++status_.frames_cut;
        status_.framer = framer_.stats();
        if (!why.empty()) status_.last_error = std::move(why);
        return end;
    };

    for (;;) {
        // GGA: at once when a first fix comes after the connect, then every interval.
        if (!gga_sent_here && current_gga()) {
            send_gga(sock.fd);
            gga_sent_here = true;
            next_gga = Clock::now() + seconds(options_.gga_interval);
        } else if (periodic && Clock::now() >= next_gga) {
            send_gga(sock.fd);
            next_gga += seconds(options_.gga_interval);
            if (next_gga < Clock::now()) next_gga = Clock::now() + seconds(options_.gga_interval);
        }
        const auto until = periodic ? std::min(deadline, next_gga) : deadline;
        const Wait w = wait_for(sock.fd, POLLIN, until);
        if (w == Wait::stopped) return finish(End::stopped, {});
        if (w == Wait::timeout) {
            if (Clock::now() < deadline) continue;  // GGA time
            if (!reader.head_done())
                return finish(End::timeout, "the caster sent no answer within the time-out");
            return finish(End::timeout,
                          "no corrections for " + fmt_seconds(options_.silence_timeout));
        }
        const ssize_t n = ::recv(sock.fd, buf.data(), buf.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0)
            return finish(End::closed, std::string("connection lost: ") + std::strerror(errno));
        if (n == 0) {
            if (!reader.head_done())
                return finish(End::refused, "the caster closed the connection without an answer");
            return finish(End::closed, "the caster closed the connection");
        }
        {
            std::lock_guard lock(mu_);
            status_.bytes_received += static_cast<uint64_t>(n);
        }
        const bool was_head = reader.head_done();
        body.clear();
        const bool ok = reader.feed({buf.data(), static_cast<std::size_t>(n)}, body);
        if (!was_head && reader.head_done()) {
            {
                std::lock_guard lock(mu_);
                status_.answer = reader.status_line();
                status_.chunked = reader.chunked();
            }
            switch (reader.answer()) {
                case ntrip::Answer::icy:
                case ntrip::Answer::http_data: {
                    std::lock_guard lock(mu_);
                    ++status_.sessions;
                    status_.state = "streaming";
                }
                    event("connected: " + reader.status_line() +
                          (reader.chunked() ? " (chunked)" : ""));
                    deadline = Clock::now() + seconds(options_.silence_timeout);
                    break;
                case ntrip::Answer::sourcetable:
                    return finish(End::no_mount, "the caster has no mountpoint '" +
                                                     options_.url.mount +
                                                     "' (it sent its source table)");
                case ntrip::Answer::unauthorized:
                    return finish(End::unauthorized, "the caster refused the credentials (" +
                                                         reader.status_line() + ")");
                case ntrip::Answer::refused:
                case ntrip::Answer::pending:
                    return finish(End::refused, "the caster refused: " + reader.status_line());
            }
        }
        if (!ok) {
            if (!reader.head_done()) return finish(End::refused, reader.error());
            return finish(End::closed, reader.error());
        }
        if (!body.empty()) {
            framer_.feed(body);
            while (auto frame = framer_.next()) {
                const uint16_t type = rtcm3::message_type(*frame);
                last_frame_here = Clock::now();
                *streamed = true;
                {
                    // Counted before it is handed on, so that the status never shows more
                    // frames forwarded than received.
                    std::lock_guard lock(mu_);
                    ++status_.frames_received;
                    ++status_.types[type];
                    last_frame_at_ = last_frame_here;
                }
                if (writer_) writer_->submit(*frame);
            }
            std::lock_guard lock(mu_);
            status_.framer = framer_.stats();
        }
        if (last_frame_here) deadline = *last_frame_here + seconds(options_.silence_timeout);
        if (reader.body_complete()) return finish(End::closed, "the caster ended the stream");
    }
}

void NtripClient::run() {
    ntrip::Version version = options_.version;
    bool fell_back = false;
    double backoff = options_.backoff_initial;
    while (!stopping_) {
        bool streamed = false;
        const End end = session(version, &streamed);
        if (end == End::stopped || stopping_) break;
        std::string why;
        {
            std::lock_guard lock(mu_);
            why = status_.last_error;
        }
        double wait = backoff;
        const char* state = "reconnecting";
        if (streamed) {
            // Corrections came: this request form is the caster's; the next wait is short. (A
            // caster that answers but sends no valid frame backs off like one that refuses.)
            fell_back = false;
            wait = options_.backoff_initial;
            backoff = std::min(options_.backoff_initial * 2, options_.backoff_max);
        } else if (end == End::refused && version == ntrip::Version::v2 && !fell_back) {
            // A caster that cannot read the v2 request: try the v1 form at once.
            version = ntrip::Version::v1;
            fell_back = true;
            event(why + "; trying the NTRIP v1 request");
            continue;
        } else if (end == End::unauthorized || end == End::no_mount) {
            wait = options_.backoff_max;
            state = end == End::unauthorized ? "unauthorized" : "no mountpoint";
        } else {
            if (fell_back) {
                version = options_.version;  // neither form worked: start over with the first
                fell_back = false;
            }
            backoff = std::min(backoff * 2, options_.backoff_max);
        }
        set_state(state);
        event(why + "; reconnecting in " + fmt_seconds(wait));
        if (!pause(wait)) break;
    }
    set_state("stopped");
}

// ---------------------------------------------------------------------------------------------
// Source table

ntrip::SourceTable fetch_sourcetable(const ntrip::Url& url_in, ntrip::Version version,
                                     double timeout, const std::string& agent) {
    ntrip::Url url = url_in;
    url.mount.clear();
    const auto until = Clock::now() + seconds(timeout);
    auto wait = [](int fd, short ev, Clock::time_point t) {
        pollfd p{fd, ev, 0};
        for (;;) {
            const int r = ::poll(&p, 1, poll_ms(t));
            if (r < 0 && errno == EINTR) continue;
            if (r > 0) return 1;
            if (Clock::now() >= t || r < 0) return 0;
        }
    };
    for (int attempt = 0;; ++attempt) {
        std::string err;
        bool stopped = false;
        Socket sock = open_connection(url, until, wait, &err, &stopped);
        if (sock.fd < 0) throw std::runtime_error(err);
        if (!send_all(sock.fd, ntrip::build_request(url, version, "", default_agent(agent)), until,
                      wait))
            throw std::runtime_error("the caster took no request");
        ntrip::ResponseReader reader;
        std::vector<uint8_t> body, buf(kReadSize);
        bool eof = false;
        while (!reader.failed() && !reader.body_complete()) {
            if (wait(sock.fd, POLLIN, until) == 0)
                throw std::runtime_error(
                    "the caster sent no whole source table within the time-out");
            const ssize_t n = ::recv(sock.fd, buf.data(), buf.size(), 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                eof = true;
                break;
            }
            reader.feed({buf.data(), static_cast<std::size_t>(n)}, body);
            if (body.size() > ntrip::kMaxSourceTable)
                throw std::runtime_error("the caster's source table is too large");
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            if (reader.head_done() && text.find("ENDSOURCETABLE") != std::string_view::npos) break;
        }
        const ntrip::Answer a = reader.answer();
        if (a == ntrip::Answer::sourcetable || a == ntrip::Answer::http_data) {
            return ntrip::parse_sourcetable(
                std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
        }
        if (a == ntrip::Answer::unauthorized)
            throw std::runtime_error("the caster refused the credentials (" + reader.status_line() +
                                     ")");
        if (version == ntrip::Version::v2 && attempt == 0) {
            version = ntrip::Version::v1;
            continue;
        }
        if (a == ntrip::Answer::pending || (eof && !reader.head_done()))
            throw std::runtime_error("the caster closed the connection without an answer");
        throw std::runtime_error("the caster refused: " +
                                 (reader.error().empty() ? reader.status_line() : reader.error()));
    }
}

}  // namespace zq::hub
