// The time feeds' core: which NAV-PVT times are trusted, the leap announcement, chrony's
// datagram, and the two feeds against a socket and a segment read back here.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "chrony.hpp"
#include "shm.hpp"
#include "timetrust.hpp"
#include "ubx/ubx.hpp"

namespace {

using namespace zq::hub;

constexpr int64_t kDay = 86400;
// 2030-06-15 12:00:00 UTC: after any build date this test is run with.
constexpr int64_t kNoon = 1907755200;

struct PvtSpec {
    int64_t utc = kNoon;  // whole seconds
    int32_t nano = 0;
    uint8_t valid = 0x07;  // validDate, validTime, fullyResolved
    uint32_t tacc = 25;    // ns
    uint8_t fix = 3;
    uint8_t flags = 0x01;   // gnssFixOk
    uint8_t flags2 = 0xE0;  // confirmedAvai, confirmedDate, confirmedTime
    uint8_t second = 255;   // 255: from utc
};

void put(std::vector<uint8_t>& b, std::size_t off, uint64_t v, int size) {
    for (int i = 0; i < size; ++i)
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> pvt_frame(const PvtSpec& p) {
    std::vector<uint8_t> b(92, 0);
    const int64_t days = p.utc / kDay;
    const int64_t sod = p.utc % kDay;
    const Civil c = civil_from_days(days);
    put(b, 4, static_cast<uint64_t>(c.year), 2);
    put(b, 6, c.month, 1);
    put(b, 7, c.day, 1);
    put(b, 8, static_cast<uint64_t>(sod / 3600), 1);
    put(b, 9, static_cast<uint64_t>(sod / 60 % 60), 1);
    put(b, 10, p.second != 255 ? p.second : static_cast<uint64_t>(sod % 60), 1);
    put(b, 11, p.valid, 1);
    put(b, 12, p.tacc, 4);
    put(b, 16, static_cast<uint32_t>(p.nano), 4);
    put(b, 20, p.fix, 1);
    put(b, 21, p.flags, 1);
    put(b, 22, p.flags2, 1);
    return ubx::make_frame(0x01, 0x07, b);
}

std::vector<uint8_t> timels_frame(int8_t ls_change, int32_t time_to_event, uint8_t valid = 0x03) {
    std::vector<uint8_t> b(24, 0);
    put(b, 9, 18, 1);
    put(b, 11, static_cast<uint8_t>(ls_change), 1);
    put(b, 12, static_cast<uint32_t>(time_to_event), 4);
    put(b, 23, valid, 1);
    return ubx::make_frame(0x01, 0x26, b);
}

Item item_of(std::vector<uint8_t> frame, State state, double mono, double real) {
    Item it;
    it.kind = Kind::ubx;
    it.state = state;
    it.cls = frame[2];
    it.id = frame[3];
    it.rx_mono = mono;
    it.rx_real = real;
    it.bytes = std::move(frame);
    return it;
}

// A receiver at 1 Hz whose messages arrive 80 ms after each epoch, read by a host whose clock
// is SKEW seconds behind; rx_mono starts at 1000.
struct Stream {
    TimeTrust trust{TrustRule{1'000'000, kNoon - 30 * kDay}};
    int64_t utc = kNoon;
    double mono = 1000;
    double skew = 0.25;
    State state = State::stale;

    TimeSample next(PvtSpec p = {}, double late = 0) {
        p.utc = utc;
        const double real = static_cast<double>(utc) + 0.080 + late - skew;
        auto s = trust.feed(item_of(pvt_frame(p), state, mono + late, real));
        state = State::live;
        utc += 1;
        mono += 1;
        EXPECT_TRUE(s.has_value());
        return *s;
    }
};

TEST(HubTime, SteadyStreamIsTrustedFromItsSecondSolution) {
    Stream st;
    const TimeSample first = st.next();
    EXPECT_EQ(first.verdict, Verdict::not_live);  // read while the reader was still stale
    for (int i = 0; i < 5; ++i) {
        const TimeSample s = st.next();
        EXPECT_EQ(s.verdict, Verdict::trusted) << to_string(s.verdict);
        EXPECT_EQ(s.leap, Leap::none);
        EXPECT_NEAR(s.offset(), 0.25 - 0.080, 1e-6);  // UTC minus receive time
        EXPECT_DOUBLE_EQ(s.accuracy, 25e-9);
    }
}

TEST(HubTime, EachUntrustworthyFlagRefusesTheSolution) {
    struct Case {
        const char* what;
        PvtSpec spec;
        Verdict expect;
    };
    PvtSpec no_date, no_time, unresolved, unconfirmed_date, unconfirmed_time, no_confirmation,
        inaccurate, at_bound, dead_reckoning, no_fix_ok, time_only, leap_second;
    no_date.valid = 0x06;
    no_time.valid = 0x05;
    unresolved.valid = 0x03;
    unconfirmed_date.flags2 = 0xA0;
    unconfirmed_time.flags2 = 0x60;
    no_confirmation.flags2 = 0x00;  // a generation that does not report confirmation
    inaccurate.tacc = 1'000'001;
    at_bound.tacc = 1'000'000;
    dead_reckoning.fix = 1;
    no_fix_ok.flags = 0;
    time_only.fix = 5;
    leap_second.second = 60;
    const Case cases[] = {
        {"validDate clear", no_date, Verdict::invalid},
        {"validTime clear", no_time, Verdict::invalid},
        {"fullyResolved clear", unresolved, Verdict::unresolved},
        {"confirmedDate clear", unconfirmed_date, Verdict::unconfirmed},
        {"confirmedTime clear", unconfirmed_time, Verdict::unconfirmed},
        {"no confirmation reported", no_confirmation, Verdict::trusted},
        {"tAcc above the bound", inaccurate, Verdict::inaccurate},
        {"tAcc at the bound", at_bound, Verdict::trusted},
        {"dead reckoning only", dead_reckoning, Verdict::no_fix},
        {"gnssFixOk clear", no_fix_ok, Verdict::no_fix},
        {"time-only fix", time_only, Verdict::trusted},
        {"second 60", leap_second, Verdict::leap_second},
    };
    for (const Case& c : cases) {
        Stream st;
        st.next();
        ASSERT_TRUE(st.next().trusted());
        EXPECT_EQ(st.next(c.spec).verdict, c.expect) << c.what;
        // One bad solution does not spoil the next good one (except an invalid time, after
        // which the next good one is checked against the one before it).
        EXPECT_TRUE(st.next().trusted()) << c.what;
    }
}

TEST(HubTime, DatesBeforeTheBuildAndRolloversNeverPass) {
    // Before the build: even a steady, well-flagged stream.
    Stream old;
    old.trust.set_rule({1'000'000, kNoon + kDay});
    old.next();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(old.next().verdict, Verdict::before_build);

    // A jump back by 1024 weeks (and forward by 2048) is refused for as long as it lasts,
    // though steady in itself; the right date is trusted again at once.
    constexpr int64_t k1024 = 1024LL * 7 * kDay;
    Stream st;
    st.trust.set_rule({1'000'000, 0});
    st.next();
    ASSERT_TRUE(st.next().trusted());
    st.utc -= k1024;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(st.next().verdict, Verdict::rollover) << i;
    st.utc += 3 * k1024;
    EXPECT_EQ(st.next().verdict, Verdict::rollover);
    st.utc -= 2 * k1024;
    EXPECT_EQ(st.next().verdict, Verdict::not_newer);  // back, behind the one before
    EXPECT_TRUE(st.next().trusted());
    // An ordinary step (an hour) is not a rollover: refused once, then followed.
    st.utc += 3600;
    EXPECT_EQ(st.next().verdict, Verdict::unsteady);
    EXPECT_TRUE(st.next().trusted());
}

TEST(HubTime, StaleSpellsLateReadsAndRepeatsAreRefused) {
    Stream st;
    st.next();
    ASSERT_TRUE(st.next().trusted());
    // A stall: the reader goes stale; the first solution after it is not used, the next is.
    st.trust.feed([] {
        Item it;
        it.kind = Kind::state;
        it.state = State::stale;
        return it;
    }());
    st.utc += 10;
    st.mono += 10;
    st.state = State::stale;
    EXPECT_EQ(st.next().verdict, Verdict::not_live);
    EXPECT_TRUE(st.next().trusted());
    // Read 300 ms late (kept in the kernel's buffer): its receive time lies.
    EXPECT_EQ(st.next({}, 0.3).verdict, Verdict::unsteady);
    EXPECT_TRUE(st.next().trusted());
    // A backlog: two epochs taken by one read; the later one is on time again.
    st.mono -= 1;
    EXPECT_EQ(st.next().verdict, Verdict::unsteady);
    st.mono += 1;
    EXPECT_TRUE(st.next().trusted());
    // Several late reads in a row: each one refused.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(st.next({}, 0.2 + 0.2 * i).verdict, Verdict::unsteady) << i;
    EXPECT_TRUE(st.next().trusted());
    // The same epoch twice.
    st.utc -= 1;
    EXPECT_EQ(st.next().verdict, Verdict::not_newer);
    EXPECT_TRUE(st.next().trusted());
    // A new receiver at 10 Hz: steps of 10 ms pass, 70 ms (over half the interval) do not.
    Stream fast;
    auto at = [&](double mono, int64_t ms) {
        PvtSpec p;
        p.utc = kNoon + ms / 1000;
        p.nano = static_cast<int32_t>(ms % 1000 * 1'000'000);
        return fast.trust
            .feed(item_of(pvt_frame(p), State::live, mono, static_cast<double>(p.utc)))
            ->verdict;
    };
    EXPECT_EQ(at(5.00, 0), Verdict::first);
    EXPECT_EQ(at(5.11, 100), Verdict::trusted);
    EXPECT_EQ(at(5.28, 200), Verdict::unsteady);
}

TEST(HubTime, LeapSecondAnnouncedOnlyInTheMonthItEnds) {
    // 2030-06-15 12:00:00 to 2030-07-01 00:00:00.
    const int32_t to_end_of_june = static_cast<int32_t>(15 * kDay + 12 * 3600);
    struct Case {
        int8_t change;
        int32_t to_event;
        uint8_t valid;
        double timels_age;
        Leap expect;
    };
    const Case cases[] = {
        {1, to_end_of_june, 0x03, 0, Leap::insert},
        {-1, to_end_of_june, 0x03, 0, Leap::remove},
        {1, to_end_of_june, 0x03, 30, Leap::insert},            // 30 s old, counted down
        {1, to_end_of_june + 31 * 86400, 0x03, 0, Leap::none},  // end of July
        {1, -3600, 0x03, 0, Leap::none},                        // already past
        {1, to_end_of_june, 0x01, 0, Leap::none},               // time to the event not valid
        {0, to_end_of_june, 0x03, 0, Leap::none},               // no change announced
        {1, to_end_of_june, 0x03, 7200, Leap::none},            // too old to use
    };
    for (const Case& c : cases) {
        Stream st;
        st.next();
        st.next();
        // TO_EVENT counts from kNoon; the message counts from its own epoch, TIMELS_AGE
        // seconds before the solution that follows.
        const auto since_noon = static_cast<int32_t>(st.utc - kNoon);
        const auto to_event = c.to_event - since_noon + static_cast<int32_t>(c.timels_age);
        st.trust.feed(item_of(timels_frame(c.change, to_event, c.valid), State::live,
                              st.mono - c.timels_age, 0));
        const TimeSample s = st.next();
        ASSERT_TRUE(s.trusted());
        EXPECT_EQ(s.leap, c.expect) << int(c.change) << " " << c.to_event << " " << c.timels_age;
    }
}

TEST(HubTime, CivilDatesRoundTrip) {
    for (int64_t d : {-719468LL, -1LL, 0LL, 11016LL, 19000LL, 22080LL, 2932896LL}) {
        const Civil c = civil_from_days(d);
        EXPECT_EQ(days_from_civil(c.year, c.month, c.day), d) << d;
    }
    const Civil leap_day = civil_from_days(days_from_civil(2028, 2, 29));
    EXPECT_EQ(leap_day.month, 2u);
    EXPECT_EQ(leap_day.day, 29u);
    // The build's floor is a midnight not far before now.
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    EXPECT_EQ(build_floor() % kDay, 0);
    EXPECT_LT(build_floor(), now);
    EXPECT_GT(build_floor(), now - 3 * 365 * kDay);
}

TEST(HubTime, SockSampleIsChronysLayoutWithTheSignItExpects) {
    EXPECT_EQ(offsetof(SockSample, tv), 0u);
    EXPECT_EQ(offsetof(SockSample, offset), 16u);
    EXPECT_EQ(offsetof(SockSample, pulse), 24u);
    EXPECT_EQ(offsetof(SockSample, leap), 28u);
    EXPECT_EQ(offsetof(SockSample, magic), 36u);
    TimeSample s;
    s.utc_sec = kNoon;
    s.utc_nsec = 250'000'000;
    s.rx_real = static_cast<double>(kNoon) + 0.0099996;  // rounds up to ...010000 us
    s.leap = Leap::insert;
    const SockSample out = sock_sample(s);
    EXPECT_EQ(out.tv.tv_sec, kNoon);
    EXPECT_EQ(out.tv.tv_usec, 10000);
    EXPECT_NEAR(out.offset, 0.240, 1e-9);  // positive: the system clock is behind
    EXPECT_EQ(out.leap, 1);
    EXPECT_EQ(out.pulse, 0);
    unsigned char wire[sizeof out];
    std::memcpy(wire, &out, sizeof out);
    EXPECT_EQ(wire[36], 0x4b);  // "KCOS" on a little-endian wire
    EXPECT_EQ(wire[39], 0x53);
    s.rx_real = static_cast<double>(kNoon) + 0.9999996;  // a carry into the next second
    const SockSample carry = sock_sample(s);
    EXPECT_EQ(carry.tv.tv_sec, kNoon + 1);
    EXPECT_EQ(carry.tv.tv_usec, 0);
    EXPECT_NEAR(carry.offset, -0.75, 1e-9);
}

// Log lines as a feed hands them over.
struct Lines {
    std::mutex mu;
    std::vector<std::pair<LogLevel, std::string>> got;
    LogFn fn() {
        return [this](LogLevel l, const std::string& t) {
            std::lock_guard lock(mu);
            got.emplace_back(l, t);
        };
    }
    std::size_t count(const std::string& part) {
        std::lock_guard lock(mu);
        std::size_t n = 0;
        for (auto& [l, t] : got)
            n += t.find(part) != std::string::npos;
        return n;
    }
};

template <class Pred>
bool eventually(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        poll(nullptr, 0, 5);
    }
    return true;
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/zq_time_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// Publishes a steady 1 Hz stream on TAP: solution K at UTC kNoon + K, read at K + 0.05 s.
void publish_pvt(Tap& tap, int k, PvtSpec p = {}) {
    p.utc = kNoon + k;
    tap.publish_frame(pvt_frame(p), 100.0 + k, static_cast<double>(kNoon + k) + 0.05);
}

TEST(HubTime, ChronyFeedSendsTrustedSamplesAndWaitsQuietlyForTheSocket) {
    TempDir dir;
    const std::string path = (dir.path / "gps.sock").string();
    auto bound = std::make_shared<std::atomic<uint32_t>>(1'000'000);
    Lines lines;
    Tap tap;
    tap.publish_state(State::live, 0, 0);
    ChronyFeed feed(tap, path, bound, lines.fn(), kNoon - kDay);

    // No socket yet: samples are lost, the outage logged once.
    for (int k = 0; k < 4; ++k)
        publish_pvt(tap, k);
    ASSERT_TRUE(eventually([&] { return feed.stats().solutions == 4; }));
    EXPECT_EQ(feed.stats().lost, 3u);  // the first has nothing to be checked by
    EXPECT_EQ(lines.count("is not there"), 1u);

    // chronyd's side.
    const int srv = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    auto receive = [&]() -> std::optional<SockSample> {
        pollfd pfd{srv, POLLIN, 0};
        if (poll(&pfd, 1, 20000) != 1) return std::nullopt;
        unsigned char buf[64];
        const ssize_t n = recv(srv, buf, sizeof buf, 0);
        EXPECT_EQ(n, 40);
        SockSample s;
        std::memcpy(&s, buf, sizeof s);
        return s;
    };
    publish_pvt(tap, 4);
    auto s = receive();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->magic, kSockMagic);
    EXPECT_EQ(s->tv.tv_sec, kNoon + 4);
    EXPECT_EQ(s->tv.tv_usec, 50000);
    EXPECT_NEAR(s->offset, -0.05, 1e-9);
    EXPECT_TRUE(eventually([&] { return lines.count("sending to chrony socket: ") == 1; }));

    // Untrusted solutions send nothing: the next datagram is the one after them.
    PvtSpec unconfirmed;
    unconfirmed.flags2 = 0x20;
    publish_pvt(tap, 5, unconfirmed);
    PvtSpec inaccurate;
    inaccurate.tacc = 2'000'000;
    publish_pvt(tap, 6, inaccurate);
    ASSERT_TRUE(eventually([&] { return feed.stats().solutions == 7; }));
    EXPECT_EQ(feed.stats().last, Verdict::inaccurate);
    bound->store(3'000'000);  // a wider bound reaches the running feed
    publish_pvt(tap, 7, inaccurate);
    s = receive();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->tv.tv_sec, kNoon + 7);

    // chronyd restarts: gone, then back; one line each way.
    close(srv);
    unlink(path.c_str());
    for (int k = 8; k < 11; ++k)
        publish_pvt(tap, k);
    ASSERT_TRUE(eventually([&] { return feed.stats().solutions == 11; }));
    EXPECT_EQ(lines.count("is not there"), 2u);
    const int again = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(again, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    publish_pvt(tap, 11);
    pollfd pfd{again, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 20000), 1);
    EXPECT_TRUE(eventually([&] { return lines.count("sending to chrony socket again") == 1; }));
    const FeedStats st = feed.stats();
    EXPECT_EQ(st.sent, 3u);
    EXPECT_EQ(st.refused, 3u);
    feed.stop();
    close(again);
}

TEST(HubTime, ChronyFeedTellsTheFixForAPermissionProblem) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a socket another user cannot use";
    TempDir dir;
    chmod(dir.path.c_str(), 0755);
    const std::string path = (dir.path / "gps.sock").string();
    const int srv = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const mode_t old = umask(022);  // as chronyd leaves it: srwxr-xr-x root
    ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    umask(old);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // As nobody: the feed's sends are refused, and the line says what to do.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        auto bound = std::make_shared<std::atomic<uint32_t>>(1'000'000);
        Lines lines;
        Tap tap;
        tap.publish_state(State::live, 0, 0);
        ChronyFeed feed(tap, path, bound, lines.fn(), kNoon - kDay);
        for (int k = 0; k < 4; ++k)
            publish_pvt(tap, k);
        const bool told = eventually([&] { return lines.count("no permission") == 1; }) &&
                          lines.count("root:root, mode 0755") == 1 &&
                          lines.count("ExecStartPost=") == 1 && feed.stats().sent == 0;
        feed.stop();
        _exit(told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pollfd pfd{srv, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0);  // nothing got through
    close(srv);
}

TEST(HubTime, ChronyFeedRefusesPathsNoSocketCanHave) {
    Tap tap;
    auto bound = std::make_shared<std::atomic<uint32_t>>(1'000'000);
    EXPECT_THROW(ChronyFeed(tap, "", bound, nullptr), std::invalid_argument);
    EXPECT_THROW(ChronyFeed(tap, std::string(200, 'x'), bound, nullptr), std::invalid_argument);
}

TEST(HubTime, ShmFeedWritesTheSegmentWithTheCountProtocol) {
    const int unit = 100 + static_cast<int>(getpid() % 100);
    const int key = kShmKeyBase + unit;
    if (const int old = shmget(key, 0, 0); old >= 0) shmctl(old, IPC_RMID, nullptr);
    auto bound = std::make_shared<std::atomic<uint32_t>>(1'000'000);
    Lines lines;
    Tap tap;
    tap.publish_state(State::live, 0, 0);
    {
        ShmFeed feed(tap, unit, bound, lines.fn(), kNoon - kDay);
        for (int k = 0; k < 3; ++k)
            publish_pvt(tap, k);
        ASSERT_TRUE(eventually([&] { return feed.stats().solutions == 3; }));
        EXPECT_EQ(feed.stats().sent, 2u);
        EXPECT_EQ(lines.count("writing NTP SHM unit"), 1u);
    }
    const int id = shmget(key, sizeof(ShmTime), 0);
    ASSERT_GE(id, 0);
    shmid_ds ds{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);  // a unit above 1
    auto* seg = static_cast<ShmTime*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(seg, reinterpret_cast<ShmTime*>(-1));
    EXPECT_EQ(seg->mode, 1);
    EXPECT_EQ(seg->count, 4);  // two updates, each bumping it twice
    EXPECT_EQ(seg->valid, 1);
    EXPECT_EQ(seg->clockTimeStampSec, kNoon + 2);
    EXPECT_EQ(seg->clockTimeStampUSec, 0);
    EXPECT_EQ(seg->receiveTimeStampSec, kNoon + 2);
    EXPECT_NEAR(seg->receiveTimeStampNSec, 50'000'000u, 1000);  // a double's 1e-7 s
    EXPECT_EQ(static_cast<unsigned>(seg->receiveTimeStampUSec), seg->receiveTimeStampNSec / 1000);
    EXPECT_EQ(seg->leap, 0);
    EXPECT_EQ(seg->precision, kShmPrecision);
    shmdt(seg);
    shmctl(id, IPC_RMID, nullptr);
    EXPECT_THROW(ShmFeed(tap, 256, bound, nullptr), std::invalid_argument);
}

}  // namespace
