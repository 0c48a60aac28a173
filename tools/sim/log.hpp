// The simulator's log on stderr: one "zq-sim: ..." line per event, silenced by --quiet.
#pragma once

#include <cstdio>

namespace zqsim {

inline bool& log_quiet() {
    static bool quiet = false;
    return quiet;
}

template <class... Args>
void log(const char* fmt, Args... args) {
    if (log_quiet()) return;
    std::fprintf(stderr, "zq-sim: ");
    if constexpr (sizeof...(Args) == 0) {
        std::fputs(fmt, stderr);
    } else {
        std::fprintf(stderr, fmt, args...);
    }
    std::fputc('\n', stderr);
}

}  // namespace zqsim
