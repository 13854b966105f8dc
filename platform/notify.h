#ifndef PICMETA_PLATFORM_NOTIFY_H
#define PICMETA_PLATFORM_NOTIFY_H

#include <string>

namespace picmeta::platform {

// Tells the host's notification, if one is installed, about a collected folder.
// A notification that throws is ignored.
void NotifyFolder(const std::string& folder) noexcept;

}  // namespace picmeta::platform

#endif
