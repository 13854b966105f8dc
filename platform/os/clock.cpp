#include "platform/os/clock.h"

#include <atomic>
#include <cstdio>

namespace picmeta::platform {
namespace {

std::atomic<bool> g_fixed{false};
std::atomic<std::time_t> g_instant{0};

std::tm Local(std::time_t t) { return detail::LocalTime(t); }

}  // namespace

std::time_t Now() {
  return g_fixed.load(std::memory_order_acquire) ? g_instant.load() : std::time(nullptr);
}

void FixClockForTesting(std::optional<std::time_t> instant) {
  g_instant.store(instant.value_or(0));
  g_fixed.store(instant.has_value(), std::memory_order_release);
}

std::string FormatTransdate(std::time_t t) {
  const std::tm tm = Local(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d:%02d:%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string FormatStamp(std::time_t t) {
  const std::tm tm = Local(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string FormatGeneralDate(std::time_t t) {
  // Formatted by hand: it runs twice per picture.
  const std::tm tm = Local(t);
  std::string out = std::to_string(tm.tm_year + 1900);
  auto number = [&out](int n, bool two_digits) {
    if (two_digits || n >= 10) out.push_back(static_cast<char>('0' + n / 10 % 10));
    out.push_back(static_cast<char>('0' + n % 10));
  };
  out.push_back('/');
  number(tm.tm_mon + 1, false);
  out.push_back('/');
  number(tm.tm_mday, false);
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) return out;
  out.push_back(' ');
  number(tm.tm_hour, false);
  out.push_back(':');
  number(tm.tm_min, true);
  out.push_back(':');
  number(tm.tm_sec, true);
  return out;
}

}  // namespace picmeta::platform
