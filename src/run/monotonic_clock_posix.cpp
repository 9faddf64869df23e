#include <cerrno>
#include <ctime>

#include "run/monotonic_clock.h"

std::int64_t monotonic_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void sleep_seconds(int seconds) {
  timespec remaining{seconds, 0};
  // A handled signal interrupts nanosleep; carry on with the time that is left.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
