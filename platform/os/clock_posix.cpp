#include <ctime>

#include "platform/os/clock.h"

namespace picmeta::platform {

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  if (!localtime_r(&t, &tm)) tm = std::tm{};
  return tm;
}

}  // namespace picmeta::platform
