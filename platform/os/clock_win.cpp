#include <ctime>

#include "platform/os/clock.h"

namespace picmeta::platform {

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  if (localtime_s(&tm, &t) != 0) tm = std::tm{};
  return tm;
}

}  // namespace picmeta::platform
