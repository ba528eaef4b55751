#pragma once

#include <optional>

namespace qm::platform {

// Local calendar time of now, with the milliseconds of the current system time.
struct LocalTime {
  int year = 0;            // e.g. 2024
  int month = 0;           // 1..12
  int day = 0;             // 1..31
  int hour = 0;            // 0..23
  int minute = 0;          // 0..59
  int second = 0;          // 0..60
  int millisecond = 0;     // 0..999
  int yearsSince1900 = 0;  // e.g. 124
};

std::optional<LocalTime> localNow();

// Milliseconds of a monotonic clock, for time-outs.
long long monotonicMs();

void sleepMs(int ms);

}  // namespace qm::platform
