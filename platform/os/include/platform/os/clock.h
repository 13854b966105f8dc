#ifndef PICMETA_PLATFORM_CLOCK_H
#define PICMETA_PLATFORM_CLOCK_H

#include <ctime>
#include <optional>
#include <string>

namespace picmeta::platform {

// Current time; the fixed instant when tests set one.
std::time_t Now();
void FixClockForTesting(std::optional<std::time_t> instant);

// The broken-down local time of t (all zero when it has none); each
// platform's.
std::tm LocalTime(std::time_t t);

}  // namespace picmeta::platform

#endif
