// The monotonic clock that fenra-s2s keeps its deadlines on, in milliseconds.
#pragma once

#include <time.h>

#include <cstdint>

namespace fenra::s2s {

// The monotonic clock in milliseconds, read cheaply (coarse by a few ms).
inline uint64_t monotonic_ms() {
    timespec ts{};
#ifdef CLOCK_MONOTONIC_COARSE
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#elif defined(CLOCK_MONOTONIC_FAST)
    clock_gettime(CLOCK_MONOTONIC_FAST, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

constexpr uint64_t seconds_ms(uint32_t seconds) {
    return uint64_t{seconds} * 1000;
}

}  // namespace fenra::s2s
