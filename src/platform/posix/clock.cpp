#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace qm::platform {

std::optional<LocalTime> localNow() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
  tm local{};
  if (::localtime_r(&now.tv_sec, &local) == nullptr) return std::nullopt;
  LocalTime out;
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  out.yearsSince1900 = local.tm_year;
  return out;
}

long long monotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepMs(int ms) {
  if (ms <= 0) return;
  timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace qm::platform
