#include "records/failure.h"

namespace picmeta::records {

void FailIo(const platform::Status& status, const std::string& what, const platform::Path& path) {
  throw Failure(FailureKind::kIo, what + " " + path.Native() + ": " + platform::Describe(status),
                status);
}

void Check(const platform::Status& status, const std::string& what, const platform::Path& path) {
  if (!status.ok()) FailIo(status, what, path);
}

}  // namespace picmeta::records
