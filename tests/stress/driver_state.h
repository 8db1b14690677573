// The port driver's state as the stress tests look at it; see the shared
// helpers for how.
#pragma once

#include "tests/support/port_driver_state.h"

namespace stress {

using kest_test::Eventually;
using kest_test::Locked;
using kest_test::NameBytes;

}  // namespace stress
