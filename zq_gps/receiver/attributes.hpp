// The receiver's attributes: one row per attribute, in the order construction stores them (and
// so the order the instance's __dict__ lists them). A row says what construction stores, whether
// restart stores that value again, how the reader loop fills the attribute from an accepted
// message, and its place in getgps(). Construction, the loop's stores, restart's reset and the
// accessors getgps() and getparseddata() walk this table.
//
// Adding an attribute: its name goes into ZQ_NAMES (setup/module.hpp), its row here, and its
// type and meaning into zq_gps.pyi (docs/API.md is made from it). The static_asserts at the end
// hold the table to what the code that walks it relies on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "module.hpp"

namespace zq::attributes {

// The value construction stores.
struct Value {
    enum Kind { integer, real, none, false_, argument, clock };
    Kind kind;
    long integer_value = 0;
    double real_value = 0;
    int argument_index = 0;
};

constexpr Value integer(long v) {
    return {Value::integer, v};
}
constexpr Value real(double v) {
    return {Value::real, 0, v};
}
constexpr Value py_none{Value::none};
constexpr Value py_false{Value::false_};
// __init__'s bound argument I: 0 gpsmode, 1 port.
constexpr Value argument(int i) {
    return {Value::argument, 0, 0, i};
}
constexpr Value host_time{Value::clock};  // the host's time.time() at construction
inline constexpr int kArguments = 2;

// How the reader loop fills the attribute once it has accepted a message. The loop first makes
// the required stores in their rank order; the first that fails ends the pass as a failure. After
// its debug record it copies the optional fields, in their rank order, where the message has
// them. Ranks number each of the two groups from 0.
struct Fill {
    enum Kind {
        none,      // the loop does not touch it
        message,   // the accepted message object itself
        scaled,    // msg.SOURCE / DIVISOR, a true division
        copied,    // msg.SOURCE as delivered
        stamp,     // the loop's time stamp of its last debug record (or of its start)
        live,      // True: what is shown is live data
        optional,  // msg.SOURCE as delivered, when the message has it
    };
    Kind kind = none;
    Name source{};
    long divisor = 0;
    int rank = -1;

    constexpr bool required() const { return kind != none && kind != optional; }
};

constexpr Fill message(int rank) {
    return {Fill::message, {}, 0, rank};
}
constexpr Fill scaled(Name source, long divisor, int rank) {
    return {Fill::scaled, source, divisor, rank};
}
constexpr Fill copied(Name source, int rank) {
    return {Fill::copied, source, 0, rank};
}
constexpr Fill stamp(int rank) {
    return {Fill::stamp, {}, 0, rank};
}
constexpr Fill live(int rank) {
    return {Fill::live, {}, 0, rank};
}
constexpr Fill optional(Name source, int rank) {
    return {Fill::optional, source, 0, rank};
}

struct Attribute {
    Name name;
    Value initial;
    bool reset;        // restart stores the initial value again
    Fill fill = {};    // what the loop stores
    int summary = -1;  // position in getgps()'s tuple
};

inline constexpr bool kReset = true;
inline constexpr bool kKeep = false;
inline constexpr long kDegrees = 10'000'000;  // NAV-PVT's lon and lat are in 1e-7 degrees
inline constexpr long kDop = 100;             // and its pDOP in hundredths

// Columns: name, initial value, on restart, what the loop stores (with its rank), place in
// getgps().
// clang-format off
inline constexpr Attribute kTable[] = {
    {Name::lat,           integer(0),  kReset, scaled(Name::lat, kDegrees, 2), 1},
    {Name::lon,           integer(0),  kReset, scaled(Name::lon, kDegrees, 1), 0},
    {Name::acc,           real(99.99), kReset, scaled(Name::pDOP, kDop, 3),    2},
    {Name::gpsmode,       argument(0), kKeep},
    {Name::parseddata,    integer(-1), kKeep},
    {Name::numofsat,      integer(-1), kReset, copied(Name::numSV, 4),         3},
    {Name::gSpeed,        integer(-1), kReset, optional(Name::gSpeed, 0),      4},
    {Name::headAcc,       integer(-1), kReset, optional(Name::headAcc, 2),     5},
    {Name::headMot,       integer(-1), kReset, optional(Name::headMot, 1),     6},
    {Name::last_Time,     host_time,   kKeep,  stamp(5)},
    {Name::parsed_data,   py_none,     kKeep,  message(0)},
    {Name::index,         integer(-1), kKeep},  // restart counts itself here
    {Name::stopit,        integer(0),  kKeep},
    {Name::flag,          py_false,    kReset, live(6)},
    {Name::port,          argument(1), kKeep},
    {Name::fullyResolved, integer(-1), kKeep,  optional(Name::fullyResolved, 3)},
    {Name::validMag,      integer(-1), kKeep,  optional(Name::validMag, 4)},
    {Name::tAcc,          integer(-1), kKeep,  optional(Name::tAcc, 5)},
    {Name::fixType,       integer(-1), kKeep,  optional(Name::fixType, 6)},
    {Name::gnssFixOk,     integer(-1), kKeep,  optional(Name::gnssFixOk, 7)},
    {Name::difSoln,       integer(-1), kKeep,  optional(Name::difSoln, 8)},
    {Name::psmState,      integer(-1), kKeep,  optional(Name::psmState, 9)},
    {Name::headVehValid,  integer(-1), kKeep,  optional(Name::headVehValid, 10)},
    {Name::carrSoln,      integer(-1), kKeep,  optional(Name::carrSoln, 11)},
    {Name::confirmedAvai, integer(-1), kKeep,  optional(Name::confirmedAvai, 12)},
    {Name::confirmedDate, integer(-1), kKeep,  optional(Name::confirmedDate, 14)},
    {Name::confirmedTime, integer(-1), kKeep,  optional(Name::confirmedTime, 15)},
    {Name::numSV,         integer(-1), kKeep,  optional(Name::numSV, 13)},
    {Name::height,        integer(-1), kKeep,  optional(Name::height, 16)},
    {Name::hMSL,          integer(-1), kKeep,  optional(Name::hMSL, 17)},
    {Name::hAcc,          integer(-1), kKeep,  optional(Name::hAcc, 18)},
    {Name::vAcc,          integer(-1), kKeep,  optional(Name::vAcc, 19)},
    {Name::velN,          integer(-1), kKeep,  optional(Name::velN, 20)},
    {Name::velE,          integer(-1), kKeep,  optional(Name::velE, 21)},
    {Name::velD,          integer(-1), kKeep,  optional(Name::velD, 22)},
    {Name::sAcc,          integer(-1), kKeep,  optional(Name::sAcc, 23)},
    {Name::pDOP,          integer(-1), kKeep,  optional(Name::pDOP, 24)},
    {Name::reserved1,     integer(-1), kKeep,  optional(Name::reserved1, 25)},
    {Name::headVeh,       integer(-1), kKeep,  optional(Name::headVeh, 26)},
    {Name::magDec,        integer(-1), kKeep,  optional(Name::magDec, 27)},
    {Name::magAcc,        integer(-1), kKeep,  optional(Name::magAcc, 28)},
};
// clang-format on

// getparseddata() is the first three of getgps(): lon, lat, acc.
inline constexpr std::size_t kParsedData = 3;

// ---------------------------------------------------------------------------------------------
// The orders the code walks, derived from the table

template <class Pred>
consteval std::size_t count(Pred pred) {
    std::size_t n = 0;
    for (const Attribute& a : kTable)
        n += pred(a) ? 1 : 0;
    return n;
}

// Indices into kTable of the rows PRED selects, placed by POSITION (each in [0, N)). A slot no
// row fills, or that two rows claim, is left kUnplaced, which the checks below refuse. Indices
// rather than pointers: under the undefined-behaviour sanitizer, g++ does not take a pointer's
// comparison with null as a constant expression.
inline constexpr std::size_t kUnplaced = SIZE_MAX;

template <std::size_t N, class Pred, class Position>
consteval std::array<std::size_t, N> arrange(Pred pred, Position position) {
    std::array<std::size_t, N> out{};
    out.fill(kUnplaced);
    std::array<bool, N> taken{};
    for (std::size_t i = 0; i < std::size(kTable); ++i) {
        if (!pred(kTable[i])) continue;
        const int at = position(kTable[i]);
        if (at < 0 || static_cast<std::size_t>(at) >= N) continue;
        if (taken[at]) {
            out[at] = kUnplaced;
            continue;
        }
        taken[at] = true;
        out[at] = i;
    }
    return out;
}

inline constexpr auto is_required = [](const Attribute& a) { return a.fill.required(); };
inline constexpr auto is_optional = [](const Attribute& a) {
    return a.fill.kind == Fill::optional;
};
inline constexpr auto in_summary = [](const Attribute& a) { return a.summary >= 0; };
inline constexpr auto by_rank = [](const Attribute& a) { return a.fill.rank; };
inline constexpr auto by_summary = [](const Attribute& a) { return a.summary; };

inline constexpr auto kRequired = arrange<count(is_required)>(is_required, by_rank);
inline constexpr auto kOptional = arrange<count(is_optional)>(is_optional, by_rank);
inline constexpr auto kSummary = arrange<count(in_summary)>(in_summary, by_summary);

// ---------------------------------------------------------------------------------------------
// What the code that walks the table relies on

template <std::size_t N>
consteval bool complete(const std::array<std::size_t, N>& order) {
    for (std::size_t i : order) {
        if (i == kUnplaced) return false;
    }
    return true;
}

consteval bool names_unique() {
    for (std::size_t i = 0; i < std::size(kTable); ++i) {
        for (std::size_t j = i + 1; j < std::size(kTable); ++j) {
            if (kTable[i].name == kTable[j].name) return false;
        }
    }
    return true;
}

consteval bool rows_consistent() {
    for (const Attribute& a : kTable) {
        const Value& v = a.initial;
        // restart has no arguments and no clock reading to store again
        if (a.reset && (v.kind == Value::argument || v.kind == Value::clock)) return false;
        if (v.kind == Value::argument && (v.argument_index < 0 || v.argument_index >= kArguments))
            return false;
        // a restart shows the summary as not yet known
        if (a.summary >= 0 && !a.reset) return false;
        const Fill& f = a.fill;
        if (f.kind == Fill::scaled && f.divisor <= 0) return false;
        if ((f.kind == Fill::none) != (f.rank < 0)) return false;
    }
    return true;
}

static_assert(std::size(kTable) == 41);
static_assert(names_unique());
static_assert(rows_consistent());
static_assert(complete(kRequired) && complete(kOptional) && complete(kSummary),
              "ranks and summary positions each number their rows 0, 1, 2, ... without a gap");
static_assert(kParsedData <= kSummary.size());

}  // namespace zq::attributes
