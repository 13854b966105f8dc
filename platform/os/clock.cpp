#include "platform/os/clock.h"

#include <atomic>

namespace picmeta::platform {
namespace {

std::atomic<bool> g_fixed{false};
std::atomic<std::time_t> g_instant{0};

}  // namespace

std::time_t Now() {
  return g_fixed.load(std::memory_order_acquire) ? g_instant.load() : std::time(nullptr);
}

void FixClockForTesting(std::optional<std::time_t> instant) {
  g_instant.store(instant.value_or(0));
  g_fixed.store(instant.has_value(), std::memory_order_release);
}

}  // namespace picmeta::platform
