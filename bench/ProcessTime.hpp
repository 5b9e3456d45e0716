#pragma once

#include <time.h>

namespace nimbrella::bench {

// The processor time of this whole process in seconds, including threads that ended
// meanwhile (a sum over the live threads would lose theirs).
inline double processSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace nimbrella::bench
