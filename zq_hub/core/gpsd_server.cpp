// The gpsd-protocol server: listener, clients and the poll loop.
#include "gpsd_server.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "gpsd_json.hpp"
#include "gpsd_request.hpp"
#include "pvt.hpp"

namespace zq::hub::gpsd {
namespace {

using Line = std::shared_ptr<const std::string>;

constexpr uint16_t kPvt = 0x0107;
constexpr uint16_t kDop = 0x0104;
constexpr uint16_t kSat = 0x0135;
constexpr uint16_t kTimeGps = 0x0120;
constexpr uint16_t kTimeLs = 0x0126;

// How long DOPs and the satellite geometry stay usable for later epochs' TPV.
constexpr uint32_t kDopKeptMs = 30'000;
// While there is no fix to show, watchers get a no-fix TPV this often.
constexpr double kNoFixRepeat = 1.0;
// Send buffer of each client's socket (the kernel doubles it).
constexpr int kSocketBuffer = 64 * 1024;

double now_mono() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double now_real() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// The difference of two GPS times of week in ms, wrapped around the week.
int64_t itow_diff(uint32_t a, uint32_t b) {
    constexpr int64_t kWeek = 604'800'000;
    int64_t d = static_cast<int64_t>(a) - static_cast<int64_t>(b);
    if (d > kWeek / 2) d -= kWeek;
    if (d < -kWeek / 2) d += kWeek;
    return d;
}

std::string hex_line(const std::vector<uint8_t>& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2 + 1);
    for (const uint8_t b : bytes) {
        s += kHex[b >> 4];
        s += kHex[b & 0x0F];
    }
    s += '\n';
    return s;
}

Line share(std::string s) {
    return std::make_shared<const std::string>(std::move(s));
}

struct Client {
    int fd = -1;
    RequestSplitter requests;
    WatchPolicy watch;
    std::deque<Line> out;
    std::size_t out_offset = 0;  // bytes of out.front() already sent
    std::size_t out_bytes = 0;   // unsent bytes queued
    bool dead = false;

    explicit Client(int f, std::size_t max_request) : fd(f), requests(max_request) {}
};

}  // namespace

struct Server::Impl {
    Hub& hub;
    const ServerOptions& opt;
    int listen_fd = -1;
    int wake_fd = -1;
    std::shared_ptr<Consumer> consumer;
    std::vector<std::unique_ptr<Client>> clients;

    // Receiver state as the reports need it.
    State state = State::stopped;
    std::optional<double> activated;  // realtime seconds the device became active
    std::string device_path;          // the path last announced
    std::optional<int> leapseconds;
    std::optional<Dop> dop;
    std::optional<GeometryDop> geometry;
    uint32_t geometry_itow = 0;
    std::optional<Pvt> pvt;  // the last NAV-PVT
    double pvt_mono = 0;     // when it was read
    double interval = 0;     // seconds between the last two NAV-PVT
    bool have_fix = false;   // the last TPV sent showed a position
    double last_tpv = 0;     // when the last TPV went out
    bool consumer_done = false;
    bool raw_interest = false;  // the consumer takes every frame and sentence, not just reports
    uint64_t last_seq = 0;      // the last tap item handled
    uint64_t lost_before = 0;   // items earlier consumers lost
    Line latest_tpv, latest_sky;

    mutable std::mutex stats_mu;
    ServerStats stats;

    Impl(Hub& h, const ServerOptions& o) : hub(h), opt(o) {}

    ~Impl() {
        for (auto& c : clients)
            if (c->fd >= 0) ::close(c->fd);
        if (listen_fd >= 0) ::close(listen_fd);
        if (wake_fd >= 0) ::close(wake_fd);
    }

    template <class F>
    void count(F&& f) {
        std::lock_guard lock(stats_mu);
        f(stats);
    }

    DeviceInfo device_info() const {
        DeviceInfo d;
        d.path = hub.device();
        if (state != State::stopped) d.activated = activated;
        if (interval > 0) d.cycle = interval;
        return d;
    }

    std::vector<DeviceInfo> device_list() const {
        std::vector<DeviceInfo> list;
        DeviceInfo d = device_info();
        if (!d.path.empty()) list.push_back(std::move(d));
        return list;
    }

    // ---- output ----------------------------------------------------------------------------

    void flush(Client& c) {
        while (!c.dead && !c.out.empty()) {
            const std::string& s = *c.out.front();
            const ssize_t n = ::send(c.fd, s.data() + c.out_offset, s.size() - c.out_offset,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
                return;
            }
            c.out_offset += static_cast<std::size_t>(n);
            c.out_bytes -= static_cast<std::size_t>(n);
            if (c.out_offset == s.size()) {
                c.out.pop_front();
                c.out_offset = 0;
            }
        }
    }

    void send(Client& c, const Line& line) {
        if (c.dead || !line || line->empty()) return;
        if (c.out_bytes + line->size() > opt.client_queue_bytes) {
            // It stopped reading: its queue is full. Dropped; the others go on.
            c.dead = true;
            count([](ServerStats& s) { ++s.dropped_slow; });
            return;
        }
        c.out.push_back(line);
        c.out_bytes += line->size();
        // Sent at once when the socket takes it: the latency of every report is one send.
        if (c.out.size() == 1) flush(c);
    }

    void send(Client& c, std::string s) { send(c, share(std::move(s))); }

    void send_error(Client& c, std::string_view message) {
        count([](ServerStats& s) { ++s.errors_sent; });
        send(c, error(message));
    }

    template <class Pred>
    void broadcast(const Line& line, Pred&& wants) {
        for (auto& c : clients)
            if (!c->dead && c->watch.enable && wants(*c)) send(*c, line);
    }

    void broadcast_json(const Line& line) {
        broadcast(line, [](const Client& c) { return c.watch.json; });
    }

    // ---- receiver state --------------------------------------------------------------------

    void withdraw_fix(double mono) {
        const std::string path = hub.device();
        latest_tpv = share(tpv_no_fix(path));
        latest_sky.reset();
        have_fix = false;
        last_tpv = mono;
        broadcast_json(latest_tpv);
    }

    void on_state(const Item& item) {
        const State old = state;
        state = item.state;
        if (old == State::stopped && state != State::stopped) {
            activated = item.rx_real > 0 ? item.rx_real : now_real();
            device_path = hub.device();
            if (!device_path.empty()) {
                const Line d = share(device(device_info()));
                broadcast_json(d);
            }
        }
        if (state == State::live) return;
        // Stale or stopped: no fix to show, in the protocol's own terms.
        withdraw_fix(item.rx_mono > 0 ? item.rx_mono : now_mono());
        if (state == State::stopped) {
            if (!device_path.empty()) broadcast_json(share(device_gone(device_path)));
            pvt.reset();
            dop.reset();
            geometry.reset();
            interval = 0;
        }
    }

    std::string_view device_view() {
        device_path = hub.device();
        return device_path;
    }

    void on_pvt(const Item& item) {
        auto p = decode_pvt(item.bytes);
        if (!p) return;
        if (pvt && pvt_mono > 0 && item.rx_mono > pvt_mono) interval = item.rx_mono - pvt_mono;
        TpvContext ctx;
        ctx.device = device_view();
        ctx.leapseconds = leapseconds;
        if (geometry && itow_diff(p->iTOW, geometry_itow) <= kDopKeptMs) {
            ctx.xdop = geometry->xdop;
            ctx.ydop = geometry->ydop;
        }
        // sep from the NAV-PVT's own pDOP: the same epoch's, where NAV-DOP may come later.
        latest_tpv = share(tpv(*p, ctx));
        have_fix = p->fixType != 0;
        pvt = *p;
        pvt_mono = item.rx_mono > 0 ? item.rx_mono : now_mono();
        last_tpv = pvt_mono;
        count([](ServerStats& s) { ++s.tpv; });
        broadcast_json(latest_tpv);
    }

    void on_sat(const Item& item) {
        auto view = decode_sat(item.payload());
        if (!view) return;
        SkyContext ctx;
        ctx.device = device_view();
        if (pvt && pvt->utc()) {
            // The epoch's UTC: the NAV-PVT's time, moved by the difference of the two iTOWs.
            const int64_t d = itow_diff(view->iTOW, pvt->iTOW);
            if (std::llabs(d) <= kDopKeptMs) ctx.time = *pvt->utc() + d * 1e-3;
        }
        if (dop && std::llabs(itow_diff(view->iTOW, dop->iTOW)) <= kDopKeptMs) ctx.dop = dop;
        geometry = geometry_dop(view->sats);
        geometry_itow = view->iTOW;
        latest_sky = share(sky(*view, ctx));
        count([](ServerStats& s) { ++s.sky; });
        broadcast_json(latest_sky);
    }

    void on_raw(const Item& item) {
        Line verbatim, hex;
        for (auto& c : clients) {
            if (c->dead || !c->watch.enable) continue;
            const int raw = c->watch.raw;
            if (item.kind == Kind::nmea) {
                if (raw >= 1 || c->watch.nmea) {
                    if (!verbatim)
                        verbatim = share(std::string(item.bytes.begin(), item.bytes.end()));
                    send(*c, verbatim);
                }
            } else if (raw == 2) {
                if (!verbatim) verbatim = share(std::string(item.bytes.begin(), item.bytes.end()));
                send(*c, verbatim);
            } else if (raw == 1) {
                if (!hex) hex = share(hex_line(item.bytes));
                send(*c, hex);
            }
        }
    }

    void on_item(const Item& item) {
        switch (item.kind) {
            case Kind::state:
                on_state(item);
                return;
            case Kind::ubx:
                on_raw(item);
                switch (item.key()) {
                    case kPvt:
                        on_pvt(item);
                        break;
                    case kDop:
                        if (auto d = decode_dop(item.payload())) dop = d;
                        break;
                    case kSat:
                        on_sat(item);
                        break;
                    case kTimeGps:
                        if (auto l = leap_from_timegps(item.payload())) leapseconds = l;
                        break;
                    case kTimeLs:
                        if (auto l = leap_from_timels(item.payload())) leapseconds = l;
                        break;
                    default:
                        break;
                }
                return;
            case Kind::nmea:
            case Kind::rtcm3:
                on_raw(item);
                return;
            case Kind::other:
                return;
        }
    }

    // Each tap item once, in order (a new consumer may repeat what the old one held).
    void take(const Item& item) {
        if (item.seq != 0 && item.seq <= last_seq) return;
        last_seq = item.seq;
        on_item(item);
    }

    static Interest interest_for(bool raw) {
        Interest i;
        i.ubx = true;
        i.state = true;
        i.other = false;
        if (raw) {
            // Every frame and sentence: some client watches raw or NMEA.
            i.nmea = i.rtcm3 = true;
        } else {
            // Only what the reports are made of: the server wakes once per message it uses.
            i.ubx_keys = {kPvt, kDop, kSat, kTimeGps, kTimeLs};
        }
        return i;
    }

    void subscribe(bool raw) {
        auto fresh = hub.tap().subscribe(interest_for(raw), opt.tap_capacity, true);
        if (consumer) {
            while (auto item = consumer->try_pop())
                take(*item);
            lost_before += consumer->dropped();
            hub.tap().unsubscribe(consumer);
        }
        consumer = std::move(fresh);
        consumer_done = false;
        raw_interest = raw;
    }

    void follow_interest() {
        bool raw = false;
        for (const auto& c : clients)
            raw = raw || (!c->dead && c->watch.enable && (c->watch.raw > 0 || c->watch.nmea));
        if (raw != raw_interest) subscribe(raw);
    }

    // The fix is withdrawn when NAV-PVT stops coming, even before the reader says stale.
    double stale_limit() const {
        if (opt.stale_after > 0) return opt.stale_after;
        return std::max(3.0, 3.0 * interval);
    }

    // Seconds until the next timed duty (or -1: none).
    double on_timer(double mono) {
        if (have_fix && pvt_mono > 0) {
            const double left = pvt_mono + stale_limit() - mono;
            if (left > 0) return left;
            withdraw_fix(mono);
        }
        if (have_fix) return -1;
        // No fix to show and no TPV for a while (the receiver is silent): a no-fix TPV, so a
        // client sees the state at once and its own silence timeout (cgps quits after 120 s)
        // never fires. Never the last TPV again: its time would be an old one.
        const double left = last_tpv + kNoFixRepeat - mono;
        if (left > 0) return left;
        bool watched = false;
        for (const auto& c : clients)
            watched = watched || (!c->dead && c->watch.enable && c->watch.json);
        if (watched) broadcast_json(share(tpv_no_fix(hub.device())));
        last_tpv = mono;
        return kNoFixRepeat;
    }

    // ---- requests --------------------------------------------------------------------------

    int active_for(const Client& c) const {
        return c.watch.enable && !hub.device().empty() && state != State::stopped ? 1 : 0;
    }

    void reply_watch(Client& c) {
        send(c, devices(device_list()));
        send(c, watch(c.watch));
    }

    void on_watch(Client& c, const Request& r) {
        if (!r.has_arg) {
            reply_watch(c);
            return;
        }
        std::string why;
        const auto members = parse_object(r.arg, &why);
        if (!members) {
            send_error(c, "Invalid WATCH: " + why);
            return;
        }
        WatchPolicy w = c.watch;
        w.enable = true;
        w.scaled = w.split24 = w.pps = w.timing = false;
        w.device.clear();
        for (const auto& m : *members) {
            const auto& v = m.value;
            const auto flag = [&](bool* dst) {
                if (v.type != JsonValue::Type::boolean) {
                    // Formatted, not concatenated: g++ 12 takes any std::string building
                    // here for an overlapping copy (-Wrestrict) in the release build.
                    char text[64];
                    std::snprintf(text, sizeof text, "'%.30s' must be true or false",
                                  m.key.c_str());
                    why = text;
                    return;
                }
                *dst = v.b;
            };
            if (m.key == "enable") {
                flag(&w.enable);
            } else if (m.key == "json") {
                flag(&w.json);
            } else if (m.key == "nmea") {
                flag(&w.nmea);
            } else if (m.key == "scaled") {
                flag(&w.scaled);
            } else if (m.key == "split24") {
                flag(&w.split24);
            } else if (m.key == "pps") {
                flag(&w.pps);
            } else if (m.key == "timing") {
                flag(&w.timing);
            } else if (m.key == "raw") {
                if (v.type != JsonValue::Type::number || v.n < 0 || v.n > 2 ||
                    v.n != std::floor(v.n)) {
                    why = "'raw' must be 0, 1 or 2";
                } else {
                    w.raw = static_cast<int>(v.n);
                }
            } else if (m.key == "device") {
                if (v.type != JsonValue::Type::string) {
                    why = "'device' must be a string";
                } else {
                    w.device = v.s;
                }
            }
            // Anything else ("remote", newer attributes): ignored, as gpsd does.
        }
        if (!why.empty()) {
            send_error(c, "Invalid WATCH: " + why);
            return;
        }
        if (!w.device.empty() && w.device != hub.device()) {
            send_error(c, "No such device as " + w.device.substr(0, 128));
            return;
        }
        const bool starts = w.enable && !c.watch.enable;
        c.watch = std::move(w);
        // Before the reply: whatever the tap publishes once the client has it reaches it.
        follow_interest();
        reply_watch(c);
        if (starts && c.watch.json && !hub.device().empty() && state != State::stopped)
            send(c, device(device_info()));
    }

    void on_device(Client& c, const Request& r) {
        const std::string path = hub.device();
        if (r.has_arg) {
            std::string why;
            const auto members = parse_object(r.arg, &why);
            if (!members) {
                send_error(c, "Invalid DEVICE: " + why);
                return;
            }
            for (const auto& m : *members) {
                if (m.key == "class") continue;
                if (m.key == "path") {
                    if (m.value.type != JsonValue::Type::string || m.value.s != path) {
                        send_error(c, "No such device as " + m.value.s.substr(0, 128));
                        return;
                    }
                    continue;
                }
                // Speed, mode, cycle or hexdata: the receiver belongs to the host.
                send_error(c,
                           "Device settings are read-only: '" + m.key.substr(0, 30) + "' refused");
                return;
            }
        }
        if (path.empty()) {
            send_error(c, "No devices");
            return;
        }
        send(c, device(device_info()));
    }

    void on_request(Client& c, const Request& r) {
        if (r.kind == Request::Kind::too_long) {
            send_error(c, "Request too long");
            return;
        }
        if (r.kind == Request::Kind::command) {
            if (r.name == "VERSION") {
                send(c, version());
                return;
            }
            if (r.name == "WATCH") {
                on_watch(c, r);
                return;
            }
            if (r.name == "POLL") {
                const int active = active_for(c);
                send(c, poll(now_real(), active, latest_tpv ? *latest_tpv : std::string_view{},
                             latest_sky ? *latest_sky : std::string_view{}));
                return;
            }
            if (r.name == "DEVICES") {
                send(c, devices(device_list()));
                return;
            }
            if (r.name == "DEVICE") {
                on_device(c, r);
                return;
            }
        }
        send_error(c, "Unrecognized request '" + r.text + "'");
    }

    void read_client(Client& c) {
        char buf[4096];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            c.dead = true;
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.dead = true;
            return;
        }
        for (const auto& r : c.requests.feed(std::string_view(buf, static_cast<std::size_t>(n))))
            if (!c.dead) on_request(c, r);
    }

    void accept_clients() {
        while (true) {
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or a connection that went away meanwhile
            if (clients.size() >= opt.max_clients) {
                static const std::string kFull = error("Too many clients");
                [[maybe_unused]] const ssize_t n =
                    ::send(fd, kFull.data(), kFull.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                ::close(fd);
                count([](ServerStats& s) { ++s.refused; });
                continue;
            }
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // The kernel's share of a client's backlog stays bounded too.
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
            clients.push_back(std::make_unique<Client>(fd, opt.max_request));
            count([](ServerStats& s) { ++s.accepted; });
            send(*clients.back(), version());
        }
    }

    void reap() {
        std::erase_if(clients, [](const std::unique_ptr<Client>& c) {
            if (!c->dead) return false;
            ::close(c->fd);
            c->fd = -1;
            return true;
        });
    }

    void run() {
        std::vector<pollfd> fds;
        double next_timer = -1;
        while (true) {
            fds.clear();
            fds.push_back({wake_fd, POLLIN, 0});
            fds.push_back({consumer_done ? -1 : consumer->fd(), POLLIN, 0});
            fds.push_back({listen_fd, POLLIN, 0});
            for (const auto& c : clients)
                fds.push_back(
                    {c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
            int timeout = -1;
            if (next_timer >= 0) timeout = static_cast<int>(std::ceil(next_timer * 1000.0));
            const int n = ::poll(fds.data(), fds.size(), timeout);
            if (n < 0 && errno != EINTR) return;
            if (fds[0].revents) return;  // stop()
            if (fds[1].revents) {
                while (auto item = consumer->try_pop())
                    take(*item);
                // The hub is closing (its tap closed first): stop() follows.
                if (consumer->closed() && consumer->size() == 0) consumer_done = true;
            }
            // Only the clients polled this round: those accepted below come in the next.
            for (std::size_t i = 0; i < clients.size() && i + 3 < fds.size(); ++i) {
                Client& c = *clients[i];
                const short re = fds[i + 3].revents;
                if (re & (POLLERR | POLLNVAL)) c.dead = true;
                if (!c.dead && (re & POLLOUT)) flush(c);
                if (!c.dead && (re & (POLLIN | POLLHUP))) read_client(c);
            }
            if (fds[2].revents & POLLIN) accept_clients();
            next_timer = on_timer(now_mono());
            reap();
            follow_interest();
            const uint64_t lost = lost_before + consumer->dropped();
            count([&](ServerStats& s) {
                s.clients = clients.size();
                s.tap_dropped = lost;
            });
        }
    }
};

namespace {

int bind_listener(const std::string& host, uint16_t port, uint16_t* bound) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    const int rc =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "gpsd server: cannot resolve " + host + ": " + gai_strerror(rc));
    }
    int err = EADDRNOTAVAIL;
    int fd = -1;
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) break;
        err = errno;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(res);
    if (fd < 0) {
        throw std::system_error(err, std::generic_category(),
                                "gpsd server: cannot listen on " + host + ":" + service);
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    *bound = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return fd;
}

}  // namespace

Server::Server(Hub& hub, ServerOptions options) : hub_(hub), options_(std::move(options)) {
    if (options_.max_clients == 0) options_.max_clients = 1;
    if (options_.max_request < 16) options_.max_request = 16;
    impl_ = std::make_unique<Impl>(hub_, options_);
    impl_->listen_fd = bind_listener(options_.host, options_.port, &port_);
    impl_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wake_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    impl_->subscribe(false);
    // The state at the start, as if it had just changed.
    const State s = hub_.tap().state();
    if (s != State::stopped) {
        Item first;
        first.kind = Kind::state;
        first.state = s;
        first.rx_mono = now_mono();
        first.rx_real = now_real();
        impl_->on_state(first);
    }
    thread_ = std::thread([this] { impl_->run(); });
    // Named for top, ps -L and the benchmark's CPU count.
    pthread_setname_np(thread_.native_handle(), "zq-gpsd");
}

Server::~Server() {
    stop();
}

void Server::stop() {
    if (stopped_.exchange(true)) return;
    if (impl_ && impl_->wake_fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(impl_->wake_fd, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    if (!impl_) return;
    if (impl_->consumer) hub_.tap().unsubscribe(impl_->consumer);
    for (auto& c : impl_->clients)
        if (c->fd >= 0) ::close(c->fd);
    impl_->clients.clear();
    if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
    impl_->listen_fd = -1;
    std::lock_guard lock(impl_->stats_mu);
    impl_->stats.clients = 0;
}

ServerStats Server::stats() const {
    if (!impl_) return {};
    std::lock_guard lock(impl_->stats_mu);
    return impl_->stats;
}

}  // namespace zq::hub::gpsd
