#ifndef PICMETA_PLATFORM_XML_LOAD_H
#define PICMETA_PLATFORM_XML_LOAD_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/os/fs.h"

// What a load of an XML file gave, for the workspace document and the record
// stream alike.
namespace picmeta::platform {

// A misuse of the XML service, or a failure of libxml2 itself (an invalid
// query, memory exhausted): a fault, never an input's.
class XmlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why a document did not load.
enum class LoadFailure {
  kNone,
  kMissing,
  kNotRegular,         // a folder, FIFO, device or symbolic link under the name
  kTooLarge,           // larger than the load allows; not read
  kIoError,            // the file could not be read (error holds the OS error)
  kBadEncoding,        // bytes that are not text in the declared encoding
  kDoctype,            // a DOCTYPE, refused
  kNotWellFormed,      // broken markup, no root element
  kNotRecordDocument,  // a working file whose root element is not "root"
  kTooManyAttributes,  // an element with more attributes than any document of ours has
};

struct [[nodiscard]] LoadResult {
  LoadFailure failure = LoadFailure::kNone;
  std::error_code error;  // the system's, for a file that could not be read

  LoadResult() = default;
  LoadResult(LoadFailure f, std::error_code e = {}) : failure(f), error(e) {}
  explicit operator bool() const { return failure == LoadFailure::kNone; }
  // A file that is there but cannot be taken for a document: read whole
  // without parsing, or refused before reading (not regular, too large).
  bool Unreadable() const {
    return failure != LoadFailure::kNone && failure != LoadFailure::kMissing &&
           failure != LoadFailure::kIoError;
  }
};
std::string Describe(const LoadResult& result);

// What a failed read of a document's file means for the load.
LoadResult NotRead(const Status& status);

// Larger documents are not read at all.
inline constexpr std::int64_t kMaxDocumentBytes = std::int64_t{1} << 30;

}  // namespace picmeta::platform

#endif
