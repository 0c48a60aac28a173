// The Hub's rows for the NTRIP corrections client.
#include "services.hpp"

namespace zq_hub {

ServiceRows ntrip_rows() {
    return {};
}

}  // namespace zq_hub
