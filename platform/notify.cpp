#include "platform/notify.h"

#include <memory>
#include <mutex>

#include "picmeta/clsmain.h"

namespace picmeta {
namespace {

std::mutex g_mutex;
std::shared_ptr<const FolderNotification> g_notification;

}  // namespace

void SetFolderNotification(FolderNotification notification) noexcept {
  try {
    auto next = notification ? std::make_shared<const FolderNotification>(std::move(notification))
                             : nullptr;
    std::lock_guard lock(g_mutex);
    g_notification = std::move(next);
  } catch (...) {
  }
}

namespace platform {

void NotifyFolder(const std::string& folder) noexcept {
  std::shared_ptr<const FolderNotification> current;
  {
    std::lock_guard lock(g_mutex);
    current = g_notification;
  }
  // Called outside the lock so that the notification may replace itself.
  if (!current) return;
  try {
    (*current)(folder);
  } catch (...) {
  }
}

}  // namespace platform
}  // namespace picmeta
