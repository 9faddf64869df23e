#pragma once
// Monotonic time for rates and waits.

#include <cstdint>

// Nanoseconds since an arbitrary fixed point; never goes back.
std::int64_t monotonic_now_ns();

// Waits the whole time: a stop signal that arrives meanwhile does not cut the wait short.
void sleep_seconds(int seconds);
