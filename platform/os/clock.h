#ifndef PICMETA_PLATFORM_CLOCK_H
#define PICMETA_PLATFORM_CLOCK_H

#include <ctime>
#include <optional>
#include <string>

namespace picmeta::platform {

// Current time; the fixed instant when tests set one.
std::time_t Now();
void FixClockForTesting(std::optional<std::time_t> instant);

// Local time, 24-hour clock.
std::string FormatTransdate(std::time_t t);  // YYYY:MM:DD HH:MM:SS
std::string FormatStamp(std::time_t t);      // YYYYMMDDHHMMSS
// The general date form of the Chinese (PRC) locale: "2011/8/1 9:05:07", and
// the date alone at exactly midnight; independent of the process locale.
std::string FormatGeneralDate(std::time_t t);

namespace detail {
// The broken-down local time of t (all zero when it has none); each platform's.
std::tm LocalTime(std::time_t t);
}  // namespace detail

}  // namespace picmeta::platform

#endif
