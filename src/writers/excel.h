// Excel 5 (BIFF5) worksheet writer helpers shared with the tests.
#pragma once

#include "core/rk.h"

#include <cstdint>

namespace trovadex {

// The RK form of `value` (30-bit integer or the high word of a double,
// optionally divided by 100), when one decodes to exactly the same double.
bool EncodeRk(double value, uint32_t* rk);
// The double an RK value stands for.

}  // namespace trovadex
