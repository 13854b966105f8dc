#include "platform/xml/load.h"

#include <iterator>

#include "platform/xml/parser.h"

namespace picmeta::platform {

std::string Describe(const LoadResult& result) {
  switch (result.failure) {
    case LoadFailure::kIoError:
      return Describe(Status{FileStatus::kIoError, result.error});
    case LoadFailure::kTooManyAttributes:
      return "an element has more than " + std::to_string(detail::kMaxAttributes) + " attributes";
    default: {
      // By LoadFailure, in its order.
      static constexpr const char* kTexts[] = {
          "loaded",
          "missing",
          "not a regular file",
          "too large",
          "I/O error",
          "bad encoding",
          "has a DOCTYPE",
          "not well-formed",
          "not a record document (its root element is not root)"};
      const auto at = static_cast<std::size_t>(result.failure);
      return at < std::size(kTexts) ? kTexts[at] : "not loaded";
    }
  }
}

LoadResult NotRead(const Status& status) {
  if (status.ok()) return {};
  const LoadFailure failure = status.code == FileStatus::kNotFound     ? LoadFailure::kMissing
                              : status.code == FileStatus::kNotRegular ? LoadFailure::kNotRegular
                              : status.code == FileStatus::kTooLarge   ? LoadFailure::kTooLarge
                                                                       : LoadFailure::kIoError;
  return {failure, status.error};
}

}  // namespace picmeta::platform
