#include <windows.h>

#include "run/monotonic_clock.h"

std::int64_t monotonic_now_ns() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  // Split into whole seconds and the rest so that counter * 1e9 cannot overflow.
  const std::int64_t seconds = counter.QuadPart / frequency.QuadPart;
  const std::int64_t rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 1'000'000'000 + rest * 1'000'000'000 / frequency.QuadPart;
}

void sleep_seconds(int seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); }
