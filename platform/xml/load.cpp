#include "platform/xml/load.h"

#include "platform/xml/parser.h"

namespace picmeta::platform {

std::string Describe(const LoadResult& result) {
  switch (result.failure) {
    case LoadFailure::kNone:
      return "loaded";
    case LoadFailure::kMissing:
      return "missing";
    case LoadFailure::kNotRegular:
      return "not a regular file";
    case LoadFailure::kTooLarge:
      return "too large";
    case LoadFailure::kIoError:
      return Describe(Status{FileStatus::kIoError, result.error});
    case LoadFailure::kBadEncoding:
      return "bad encoding";
    case LoadFailure::kDoctype:
      return "has a DOCTYPE";
    case LoadFailure::kNotWellFormed:
      return "not well-formed";
    case LoadFailure::kNotRecordDocument:
      return "not a record document (its root element is not root)";
    case LoadFailure::kTooManyAttributes:
      return "an element has more than " + std::to_string(detail::kMaxAttributes) + " attributes";
  }
  return "not loaded";
}

LoadResult NotRead(const Status& status) {
  switch (status.code) {
    case FileStatus::kOk:
      return {};
    case FileStatus::kNotFound:
      return {LoadFailure::kMissing, status.error};
    case FileStatus::kNotRegular:
      return {LoadFailure::kNotRegular, status.error};
    case FileStatus::kTooLarge:
      return {LoadFailure::kTooLarge, status.error};
    default:
      return {LoadFailure::kIoError, status.error};
  }
}

}  // namespace picmeta::platform
