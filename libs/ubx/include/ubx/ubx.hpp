// The UBX codec core: framing, catalogue, decoder and builder.
#pragma once

#include "ubx/build.hpp"
#include "ubx/catalogue.hpp"
#include "ubx/error.hpp"
#include "ubx/frame.hpp"
#include "ubx/keys.hpp"
#include "ubx/message.hpp"
