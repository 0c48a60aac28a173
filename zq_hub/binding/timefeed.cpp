// The Hub's rows for the time feeds (chrony's SOCK refclock, NTP shared memory).
#include "services.hpp"

namespace zq_hub {

ServiceRows timefeed_rows() {
    return {};
}

}  // namespace zq_hub
