// The Hub's rows for the gpsd protocol server.
#include "services.hpp"

namespace zq_hub {

ServiceRows gpsd_rows() {
    return {};
}

}  // namespace zq_hub
