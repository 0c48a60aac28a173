// Throughput of the codec core: scanner + checksum, NAV-PVT decode, noisy streams.
// ZQ_BENCH_SMOKE=1: one pass over 2,000 frames (numbers 32,000 on, which hold the NAV-PVT whose
// iTOW carries sync chars), to show the bench still runs to its end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "ubx/ubx.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

Bytes nav_pvt(uint32_t i) {
    const ubx::NamedValue f[] = {{"iTOW", i * 200},
                                 {"lat", int64_t{-349062263} + i},
                                 {"lon", int64_t{1386081197} - i},
                                 {"numSV", i % 30},
                                 {"pDOP", 145},
                                 {"gSpeed", i % 1000}};
    return ubx::build_frame(1, 7, ubx::Mode::Get, f);
}

// Seconds per pass over `in`, fed in 64 KiB chunks; best of several passes.
bool smoke() {
    const char* v = std::getenv("ZQ_BENCH_SMOKE");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

template <class Fn>
double best_of(int passes, Fn&& fn) {
    if (smoke()) passes = 1;
    double best = 1e9;
    for (int p = 0; p < passes; ++p) {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

std::size_t scan_all(const Bytes& in, uint64_t* sink) {
    ubx::Scanner s;
    std::size_t frames = 0;
    constexpr std::size_t kChunk = 65536;
    for (std::size_t pos = 0; pos < in.size(); pos += kChunk) {
        s.feed(std::span(in).subspan(pos, std::min(kChunk, in.size() - pos)));
        while (auto f = s.next()) {
            *sink += f->payload[0];
            ++frames;
        }
    }
    return frames;
}

}  // namespace

int main() {
    const int kFrames = smoke() ? 2000 : 200000;
    const int first = smoke() ? 32000 : 0;
    Bytes clean;
    std::vector<Bytes> frames;
    for (int i = first; i < first + kFrames; ++i) {
        frames.push_back(nav_pvt(static_cast<uint32_t>(i)));
        clean.insert(clean.end(), frames.back().begin(), frames.back().end());
    }
    // 90 % noise by bytes: random bytes (sync chars included) between the same frames.
    Bytes noisy;
    std::mt19937 rng(3);
    for (const Bytes& f : frames) {
        for (int k = 0; k < 900; ++k)
            noisy.push_back(static_cast<uint8_t>(rng()));
        noisy.insert(noisy.end(), f.begin(), f.end());
    }
    uint64_t sink = 0;

    std::size_t n = 0;
    const double t_clean = best_of(5, [&] { n = scan_all(clean, &sink); });
    std::printf("scanner+checksum, NAV-PVT stream: %8.2f GB/s  (%zu frames, %.1f M frames/s)\n",
                clean.size() / t_clean / 1e9, n, n / t_clean / 1e6);
    if (n != frames.size()) {
        std::fprintf(stderr, "bench_ubx_core: the clean stream gave %zu frames, not %zu\n", n,
                     frames.size());
        return 1;
    }

    std::size_t nn = 0;
    const double t_noisy = best_of(3, [&] { nn = scan_all(noisy, &sink); });
    std::printf("scanner+checksum, 90%% noise:     %8.2f GB/s  (%zu of %d frames found)\n",
                noisy.size() / t_noisy / 1e9, nn, kFrames);

    // Decode proper: catalogue look-up and length check; fields are read on demand.
    const double t_only = best_of(5, [&] {
        for (const Bytes& f : frames) {
            const ubx::Message m = ubx::decode(1, 7, std::span(f).subspan(6, f.size() - 8));
            sink += reinterpret_cast<uintptr_t>(m.def());
        }
    });
    std::printf("NAV-PVT decode (look-up, length): %8.2f M frames/s\n", kFrames / t_only / 1e6);
    // Decode and every field read.
    const double t_dec = best_of(5, [&] {
        for (const Bytes& f : frames) {
            const ubx::Message m = ubx::decode(1, 7, std::span(f).subspan(6, f.size() - 8));
            m.for_each([&](const ubx::FieldRef&, const ubx::Value& v) { sink += v.i; });
        }
    });
    std::printf("NAV-PVT decode + all %zu fields:  %8.2f M frames/s\n",
                ubx::find_form(1, 7, 92)->fields.size(), kFrames / t_dec / 1e6);
    const double t_look = best_of(5, [&] {
        for (const Bytes& f : frames) {
            const ubx::Message m = ubx::decode(1, 7, std::span(f).subspan(6, f.size() - 8));
            sink += m.get("lat")->i;
        }
    });
    std::printf("NAV-PVT decode + lat by name:    %8.2f M frames/s\n", kFrames / t_look / 1e6);
    std::printf("(checksum sink %llu)\n", static_cast<unsigned long long>(sink & 0xFF));
    return 0;
}
