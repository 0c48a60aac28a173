// The gpsd-protocol server's core: requests as clients send them, the session on a real socket
// with frames of a recording published on the tap, freshness, the read-only DEVICE, and the
// bounds (overlong requests, the connection limit, a client that never reads).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "gpsd_json.hpp"
#include "gpsd_request.hpp"
#include "gpsd_server.hpp"
#include "hub.hpp"

namespace {

using namespace zq::hub;
using namespace zq::hub::gpsd;

std::vector<uint8_t> read_capture(const std::string& name) {
    std::ifstream f(std::string(ZQ_CAPTURES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << name;
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The UBX frames of a recording (sync, length and checksum checked here, not by the codec).
std::vector<std::vector<uint8_t>> ubx_frames(const std::vector<uint8_t>& b) {
    std::vector<std::vector<uint8_t>> out;
    for (std::size_t i = 0; i + 8 <= b.size();) {
        if (b[i] != 0xB5 || b[i + 1] != 0x62) {
            ++i;
            continue;
        }
        const std::size_t n = b[i + 4] | (b[i + 5] << 8);
        if (i + 8 + n > b.size()) break;
        uint8_t a = 0, c = 0;
        for (std::size_t k = i + 2; k < i + 6 + n; ++k) {
            a = static_cast<uint8_t>(a + b[k]);
            c = static_cast<uint8_t>(c + a);
        }
        if (a != b[i + 6 + n] || c != b[i + 7 + n]) {
            ++i;
            continue;
        }
        out.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(i),
                         b.begin() + static_cast<std::ptrdiff_t>(i + 8 + n));
        i += 8 + n;
    }
    return out;
}

double mono() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// --- requests --------------------------------------------------------------------------------

TEST(GpsdRequests, EveryClientsTerminationIsOneRequest) {
    RequestSplitter s(1024);
    // libgps, python3-gps, gps3 (no terminator at all), then two in one read.
    auto r = s.feed("?WATCH={\"enable\":true,\"json\":true};\n");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name, "WATCH");
    EXPECT_EQ(r[0].arg, "{\"enable\":true,\"json\":true}");
    r = s.feed("?WATCH={\"enable\":true,\"json\":true}\n");
    ASSERT_EQ(r.size(), 1u);
    r = s.feed("?WATCH={\"device\":\"/dev/a}b\",\"json\":true}");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].arg, "{\"device\":\"/dev/a}b\",\"json\":true}");  // a brace inside a string
    r = s.feed("?POLL;?VERSION;\r\n");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].name, "VERSION");
    EXPECT_EQ(s.pending(), 0u);
}

TEST(GpsdRequests, SplitAcrossReadsWaitsForTheRest) {
    RequestSplitter s(1024);
    EXPECT_TRUE(s.feed("?WATCH={\"ena", false).empty());
    EXPECT_TRUE(s.feed("ble\":true", false).empty());
    auto r = s.feed("}");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].arg, "{\"enable\":true}");
    // A bare known command at the end of a read is complete (gpsd takes each read whole).
    r = s.feed("?POLL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name, "POLL");
}

TEST(GpsdRequests, GarbageAndOverlongAreBoundedAndAnswered) {
    RequestSplitter s(64);
    auto r = s.feed("hello\n?FOO;\n");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].kind, Request::Kind::garbage);
    EXPECT_EQ(r[1].kind, Request::Kind::command);
    EXPECT_EQ(r[1].name, "FOO");  // unknown names are the server's to refuse
    // An overlong request: one error, its line skipped, the next request served.
    r = s.feed("?WATCH={\"device\":\"" + std::string(200, 'x'), false);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Request::Kind::too_long);
    EXPECT_LE(s.pending(), 64u);
    EXPECT_TRUE(s.feed(std::string(5000, 'y'), false).empty());
    EXPECT_EQ(s.pending(), 0u);
    r = s.feed("\"}\n?VERSION;");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name, "VERSION");
    // An object left open at a line end is that line's garbage, not a wait for more.
    r = s.feed("?WATCH={\"enable\":true\n?POLL;");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].kind, Request::Kind::garbage);
    EXPECT_EQ(r[1].name, "POLL");
}

TEST(GpsdRequests, ArgumentObjects) {
    std::string why;
    auto m =
        parse_object(R"({"enable":true,"raw":2,"device":"/dev/x\"y","new":{"a":[1,2]}})", &why);
    ASSERT_TRUE(m) << why;
    ASSERT_EQ(m->size(), 4u);
    EXPECT_TRUE((*m)[0].value.b);
    EXPECT_EQ((*m)[1].value.n, 2);
    EXPECT_EQ((*m)[2].value.s, "/dev/x\"y");
    EXPECT_EQ((*m)[3].value.type, JsonValue::Type::nested);
    for (const char* bad : {"", "{", "{\"a\"}", "{\"a\":tru}", "{\"a\":1,}", "{\"a\":1} x",
                            "{\"a\":\"\x01\"}", "[1]"}) {
        EXPECT_FALSE(parse_object(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    std::string deep = std::string(100, '[');
    EXPECT_FALSE(parse_object("{\"a\":" + deep + "}", &why));
}

// --- objects ---------------------------------------------------------------------------------

TEST(GpsdObjects, NumberingTimesAndEscapes) {
    EXPECT_EQ(ubx_to_prn(0, 12), 12);
    EXPECT_EQ(ubx_to_prn(1, 120), 33);
    EXPECT_EQ(ubx_to_prn(2, 1), 301);
    EXPECT_EQ(ubx_to_prn(3, 37), 437);
    EXPECT_EQ(ubx_to_prn(5, 3), 195);
    EXPECT_EQ(ubx_to_prn(6, 2), 66);
    EXPECT_EQ(ubx_to_prn(6, 255), 0);
    EXPECT_EQ(ubx_to_prn(7, 1), 0);
    EXPECT_EQ(iso8601(1555967960.0), "2019-04-22T21:19:20.000Z");
    EXPECT_EQ(iso8601(1555967960.9996), "2019-04-22T21:19:21.000Z");  // rounded, carried
    EXPECT_EQ(iso8601(951782400.25), "2000-02-29T00:00:00.250Z");
    const std::string e = error("a\"b\\c\n\x01");
    EXPECT_EQ(e, "{\"class\":\"ERROR\",\"message\":\"a\\\"b\\\\c\\u000a\\u0001\"}\r\n");
}

TEST(GpsdObjects, TpvModeAndStatusFromFixTypeAndCarrierSolution) {
    Pvt p;
    p.validDate = p.validTime = true;
    p.year = 2020;
    p.month = p.day = 1;
    p.pDOP = 150;
    const auto has = [](const std::string& s, const char* f) {
        return s.find(f) != std::string::npos;
    };
    p.fixType = 0;
    std::string t = tpv(p, {});
    EXPECT_TRUE(has(t, "\"mode\":1,")) << t;
    EXPECT_FALSE(has(t, "\"lat\"")) << t;
    EXPECT_FALSE(has(t, "\"status\"")) << t;
    p.fixType = 3;
    p.difSoln = true;
    EXPECT_TRUE(has(tpv(p, {}), "\"status\":2,\"mode\":3,"));
    EXPECT_TRUE(has(tpv(p, {}), "\"sep\":7.125"));  // 1.50 x 4.75 with corrections
    p.carrSoln = 1;
    EXPECT_TRUE(has(tpv(p, {}), "\"status\":4,"));  // RTK float
    p.carrSoln = 2;
    EXPECT_TRUE(has(tpv(p, {}), "\"status\":3,"));  // RTK fixed
    p.fixType = 5;
    EXPECT_TRUE(has(tpv(p, {}), "\"status\":7,\"mode\":3,"));  // time only
    p.fixType = 2;
    p.carrSoln = 0;
    p.difSoln = false;
    t = tpv(p, {});
    EXPECT_TRUE(has(t, "\"mode\":2,")) << t;
    EXPECT_FALSE(has(t, "\"climb\"")) << t;  // 3D only
    EXPECT_TRUE(has(t, "\"sep\":28.500")) << t;
    p.validTime = false;
    EXPECT_FALSE(has(tpv(p, {}), "\"time\""));
    // Every report is one compact line, class first, ending in CR LF.
    EXPECT_EQ(t.rfind("{\"class\":\"TPV\",", 0), 0u);
    EXPECT_EQ(t.substr(t.size() - 3), "}\r\n");
}

TEST(GpsdObjects, GeometryDopOfASymmetricSky) {
    // Four satellites: zenith and three at 0 elevation 120 degrees apart.
    std::vector<Satellite> sats;
    const int az[] = {0, 0, 120, 240};
    const int el[] = {90, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        Satellite s;
        s.gnssId = 0;
        s.svId = static_cast<uint8_t>(i + 1);
        s.elev = static_cast<int8_t>(el[i]);
        s.azim = static_cast<int16_t>(az[i]);
        s.flags = 0x08;
        sats.push_back(s);
    }
    const auto g = geometry_dop(sats);
    ASSERT_TRUE(g);
    // H^T H = diag(1.5, 1.5) and [[1, 1], [1, 4]] for (up, clock).
    EXPECT_NEAR(g->xdop, std::sqrt(2.0 / 3.0), 1e-9);
    EXPECT_NEAR(g->ydop, std::sqrt(2.0 / 3.0), 1e-9);
    EXPECT_NEAR(g->vdop, std::sqrt(4.0 / 3.0), 1e-9);
    EXPECT_NEAR(g->tdop, std::sqrt(1.0 / 3.0), 1e-9);
    EXPECT_NEAR(g->hdop * g->hdop, g->xdop * g->xdop + g->ydop * g->ydop, 1e-9);
    sats.pop_back();  // three: no solution
    EXPECT_FALSE(geometry_dop(sats));
}

// --- the server on a socket ------------------------------------------------------------------

class Conn {
  public:
    explicit Conn(uint16_t port, int rcvbuf = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Conn() { ::close(fd_); }
    bool ok() const { return ok_; }
    void send(const std::string& s) {
        ASSERT_EQ(::send(fd_, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
    }
    // The next line containing NEEDLE, reading for up to 10 s; "" on timeout or close.
    std::string line_with(const std::string& needle, double timeout = 10) {
        const double end = mono() + timeout;
        while (true) {
            std::size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                std::string line = buf_.substr(0, nl + 1);
                buf_.erase(0, nl + 1);
                if (line.find(needle) != std::string::npos) return line;
            }
            const double left = end - mono();
            if (left <= 0) return "";
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) return "";
            char b[65536];
            const ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0) return "";
            buf_.append(b, static_cast<std::size_t>(n));
        }
    }
    // True once the bytes received so far contain NEEDLE (binary), reading for up to 10 s.
    bool contains(const std::string& needle, double timeout = 10) {
        const double end = mono() + timeout;
        while (buf_.find(needle) == std::string::npos) {
            const double left = end - mono();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) return false;
            char b[65536];
            const ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0) return false;
            buf_.append(b, static_cast<std::size_t>(n));
        }
        return true;
    }
    // True once the server closed the connection (everything before it is discarded).
    bool closed(double timeout = 10) {
        const double end = mono() + timeout;
        while (mono() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char b[65536];
            const ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0) return true;
        }
        return false;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::string buf_;
};

class GpsdServer : public ::testing::Test {
  protected:
    void SetUp() override {
        hub.set_device("/dev/ttyTEST0");
        frames = ubx_frames(read_capture("ublox-neo-m8n.log"));
        ASSERT_GT(frames.size(), 40u);
    }
    Server& serve(ServerOptions o = {}) {
        o.port = 0;
        auto s = std::make_unique<Server>(hub, o);
        Server* raw = s.get();
        hub.add(std::move(s));
        return *raw;
    }
    void publish_until(std::size_t n) {
        for (; next < n && next < frames.size(); ++next)
            hub.tap().publish_frame(frames[next], mono(), 0);
    }
    void live() { hub.tap().publish_state(State::live, mono(), 1.5e9); }

    Hub hub;
    std::vector<std::vector<uint8_t>> frames;
    std::size_t next = 0;
};

TEST_F(GpsdServer, SessionFromBannerToReports) {
    Server& s = serve();
    EXPECT_NE(s.port(), 0);
    live();
    Conn c(s.port());
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.line_with("VERSION"),
              "{\"class\":\"VERSION\",\"release\":\"3.22\",\"rev\":\"3.22\",\"proto_major\":3,"
              "\"proto_minor\":14}\r\n");
    // Before any watch: POLL has no active device and empty lists.
    c.send("?POLL;\n");
    EXPECT_NE(c.line_with("POLL").find("\"active\":0,\"tpv\":[],"), std::string::npos);
    c.send("?WATCH={\"enable\":true,\"json\":true}");  // gps3: no terminator
    EXPECT_NE(c.line_with("DEVICES").find("\"path\":\"/dev/ttyTEST0\""), std::string::npos);
    EXPECT_EQ(c.line_with("WATCH"),
              "{\"class\":\"WATCH\",\"enable\":true,\"json\":true,\"nmea\":false,\"raw\":0,"
              "\"scaled\":false,\"timing\":false,\"split24\":false,\"pps\":false}\r\n");
    publish_until(frames.size());
    const std::string t = c.line_with("\"class\":\"TPV\"");
    EXPECT_NE(t.find("\"time\":\"2017-07-19T08:50:00.800Z\""), std::string::npos) << t;
    EXPECT_NE(t.find("\"lat\":-34.906226300,\"lon\":138.608119700"), std::string::npos) << t;
    EXPECT_NE(c.line_with("\"class\":\"SKY\"").find("\"PRN\":5,"), std::string::npos);
    c.send("?POLL;");
    const std::string p = c.line_with("POLL");
    EXPECT_NE(p.find("\"active\":1,\"tpv\":[{\"class\":\"TPV\""), std::string::npos) << p;
    EXPECT_NE(p.find("\"sky\":[{\"class\":\"SKY\""), std::string::npos) << p;
    EXPECT_EQ(s.stats().tpv, 24u);
    EXPECT_EQ(s.stats().sky, 5u);
    // Unwatched: the reports stop, the session stays.
    c.send("?WATCH={\"enable\":false};\n");
    EXPECT_NE(c.line_with("WATCH").find("\"enable\":false,\"json\":true,"), std::string::npos);
    next = 0;
    publish_until(frames.size());
    c.send("?VERSION;\n");
    EXPECT_EQ(c.line_with("TPV", 1), "");  // everything up to the VERSION reply, none a TPV
}

TEST_F(GpsdServer, DeviceIsReadOnlyAndUnknownRequestsAreRefused) {
    Server& s = serve();
    live();
    Conn c(s.port());
    c.send("?DEVICE;\n");
    EXPECT_NE(c.line_with("\"class\":\"DEVICE\"").find("\"driver\":\"u-blox\""), std::string::npos);
    for (const char* change :
         {"?DEVICE={\"hexdata\":\"b56206040400\"}\n",
          "?DEVICE={\"path\":\"/dev/ttyTEST0\",\"bps\":9600}\n", "?DEVICE={\"native\":0};\n"}) {
        c.send(change);
        EXPECT_NE(c.line_with("ERROR").find("read-only"), std::string::npos) << change;
    }
    c.send("?DEVICE={\"path\":\"/dev/other\"}\n");
    EXPECT_NE(c.line_with("ERROR").find("No such device"), std::string::npos);
    c.send("?FOO;\n");
    EXPECT_EQ(c.line_with("ERROR"),
              "{\"class\":\"ERROR\",\"message\":\"Unrecognized request '?FOO;'\"}\r\n");
    c.send("?WATCH={\"enable\":tru}\n");
    EXPECT_NE(c.line_with("ERROR").find("Invalid WATCH"), std::string::npos);
    c.send("?WATCH={\"device\":\"/dev/nope\"}\n");
    EXPECT_NE(c.line_with("ERROR").find("No such device as /dev/nope"), std::string::npos);
    c.send("?WATCH={\"device\":\"" + std::string(3000, 'z') + "\"}\n");
    EXPECT_NE(c.line_with("ERROR").find("Request too long"), std::string::npos);
    // Still served afterwards.
    c.send("?VERSION;\n");
    EXPECT_NE(c.line_with("VERSION"), "");
    EXPECT_GE(s.stats().errors_sent, 7u);
}

TEST_F(GpsdServer, StaleOrStoppedReceiverShowsNoFixNeverTheLastPosition) {
    Server& s = serve();
    live();
    Conn c(s.port());
    c.send("?WATCH={\"enable\":true,\"json\":true};\n");
    c.line_with("WATCH");
    publish_until(10);
    ASSERT_NE(c.line_with("\"lat\":"), "");
    hub.tap().publish_state(State::stale, mono(), 0);
    EXPECT_EQ(c.line_with("\"mode\":1}"),
              "{\"class\":\"TPV\",\"device\":\"/dev/ttyTEST0\",\"mode\":1}\r\n");
    c.send("?POLL;\n");
    const std::string p = c.line_with("POLL");
    EXPECT_EQ(p.find("\"lat\""), std::string::npos) << p;
    EXPECT_EQ(p.find("\"class\":\"SKY\""), std::string::npos) << p;
    // Repeated while it lasts, never with a position.
    EXPECT_EQ(c.line_with("TPV", 5).find("\"lat\""), std::string::npos);
    hub.tap().publish_state(State::stopped, mono(), 0);
    EXPECT_NE(c.line_with("\"activated\":0"), "");
    live();
    publish_until(20);
    EXPECT_NE(c.line_with("\"lat\":"), "");
    (void)s;
}

TEST_F(GpsdServer, FixIsWithdrawnWhenNavPvtStopsEvenIfTheReaderSaysLive) {
    ServerOptions o;
    o.stale_after = 0.3;
    Server& s = serve(o);
    live();
    Conn c(s.port());
    c.send("?WATCH={\"enable\":true,\"json\":true};\n");
    c.line_with("WATCH");
    publish_until(4);
    ASSERT_NE(c.line_with("\"lat\":"), "");
    EXPECT_NE(c.line_with("\"mode\":1}"), "");
    EXPECT_EQ(c.line_with("TPV", 1.5).find("\"lat\""), std::string::npos);
}

TEST_F(GpsdServer, RawAndNmeaWatchersGetTheTapsBytes) {
    Server& s = serve();
    live();
    Conn raw2(s.port()), raw1(s.port()), nmea(s.port());
    raw2.send("?WATCH={\"enable\":true,\"raw\":2}\n");
    raw1.send("?WATCH={\"enable\":true,\"raw\":1}\n");
    nmea.send("?WATCH={\"enable\":true,\"nmea\":true}\n");
    for (Conn* c : {&raw2, &raw1, &nmea})
        c->line_with("WATCH");
    const std::string gga = "$GPGGA,120000.00,4724.6140,N,00832.5020,E,1,08,1.0,400.0,M,48.0,M,,*";
    uint8_t x = 0;
    for (std::size_t i = 1; i + 1 < gga.size(); ++i)
        x ^= static_cast<uint8_t>(gga[i]);
    char ck[8];
    std::snprintf(ck, sizeof ck, "%02X\r\n", x);
    const std::string sentence = gga + ck;
    hub.tap().publish_skipped({reinterpret_cast<const uint8_t*>(sentence.data()), sentence.size()},
                              mono(), 0);
    publish_until(1);
    EXPECT_EQ(nmea.line_with("$GP"), sentence);
    EXPECT_EQ(raw1.line_with("$GP"), sentence);
    std::string hex;
    for (uint8_t b : frames[0]) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", b);
        hex += h;
    }
    EXPECT_EQ(raw1.line_with("b562"), hex + "\n");
    // raw 2: the sentence and the frame's own bytes.
    EXPECT_TRUE(raw2.contains(sentence + std::string(frames[0].begin(), frames[0].end())));
    // No JSON for watchers that did not ask for it.
    EXPECT_EQ(nmea.line_with("TPV", 0.5), "");
}

TEST_F(GpsdServer, ConnectionLimitAndANonReadingClientIsDropped) {
    ServerOptions o;
    o.max_clients = 3;
    o.client_queue_bytes = 8 * 1024;
    Server& s = serve(o);
    live();
    Conn slow(s.port(), 2048);
    slow.send("?WATCH={\"enable\":true,\"json\":true,\"raw\":2};\n");
    Conn good(s.port());
    good.send("?WATCH={\"enable\":true,\"json\":true};\n");
    good.line_with("WATCH");
    Conn third(s.port());
    ASSERT_NE(third.line_with("VERSION"), "");
    Conn fourth(s.port());
    EXPECT_NE(fourth.line_with("ERROR").find("Too many clients"), std::string::npos);
    EXPECT_TRUE(fourth.closed());
    // The slow one never reads; the recording goes out many times over until it is dropped,
    // while the good one receives every TPV.
    int tpvs = 0;
    for (int round = 0; round < 400 && s.stats().dropped_slow == 0; ++round) {
        next = 0;
        publish_until(frames.size());
        for (int k = 0; k < 24; ++k)
            tpvs += good.line_with("\"class\":\"TPV\"") != "";
    }
    EXPECT_EQ(s.stats().dropped_slow, 1u);
    EXPECT_EQ(static_cast<uint64_t>(tpvs), s.stats().tpv);
    EXPECT_TRUE(slow.closed());
    EXPECT_EQ(s.stats().refused, 1u);
}

}  // namespace

namespace {

TEST(GpsdObjects, SkyStaysWithinWhatLibgpsReads) {
    // 255 satellites (NAV-SAT's most), the used ones last: the line stays under libgps's 10240
    // bytes and 140 entries, keeps every used satellite, and counts what it lists.
    SatView v;
    for (int i = 0; i < 255; ++i) {
        Satellite s;
        s.gnssId = static_cast<uint8_t>(i < 200 ? 1 : 0);  // SBAS 120..151 repeat, then GPS
        s.svId = static_cast<uint8_t>(i < 200 ? 120 + i % 32 : 1 + (i - 200) % 32);
        s.elev = 45;
        s.azim = 180;
        s.cno = 40;
        s.flags = i >= 240 ? 0x18 : 0x10;
        v.sats.push_back(s);
    }
    const std::string line = sky(v, {});
    EXPECT_LT(line.size(), 10240u);
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = line.find("\"PRN\":", at)) != std::string::npos; ++at)
        ++entries;
    EXPECT_LE(entries, 140u);
    EXPECT_NE(line.find("\"nSat\":" + std::to_string(entries) + ",\"uSat\":15,"),
              std::string::npos);
}

}  // namespace

namespace {

TEST(GpsdRequests, RandomInputStaysBoundedAndEveryRequestIsWhole) {
    // Random bytes weighted towards the protocol's own characters, fed in random chunks: the
    // splitter never holds more than its bound between reads, and whatever it returns as a
    // command with an argument parses or is refused without harm.
    std::mt19937 rng(7);
    const std::string alphabet = "?WATCHPOLDEVIS={}[]\":;,\n\r\\ truefalse0123456789x\x01\xff";
    RequestSplitter s(256);
    std::size_t commands = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string chunk(rng() % 600, ' ');
        for (auto& ch : chunk)
            ch = alphabet[rng() % alphabet.size()];
        for (const auto& r : s.feed(chunk, rng() % 2)) {
            EXPECT_LE(r.text.size(), 120u);
            if (r.kind == Request::Kind::command && r.has_arg) {
                std::string why;
                (void)parse_object(r.arg, &why);
                ++commands;
            }
        }
        EXPECT_LE(s.pending(), 256u);
    }
    EXPECT_GT(commands, 0u);
}

}  // namespace
