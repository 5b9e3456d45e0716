#pragma once

#include <chrono>

namespace nimbrella {

// A wall-clock instant. Exposure timing never uses it (that is monotonic uptime).
using Date = std::chrono::system_clock::time_point;

}  // namespace nimbrella
