#ifndef PICMETA_RECORDS_FAILURE_H
#define PICMETA_RECORDS_FAILURE_H

#include <stdexcept>
#include <string>
#include <utility>

#include "platform/os/fs.h"

// How records' work fails. The layers below answer with values (a Status, a
// Result, an XmlWritten); records turns a failure that ends a unit of work
// into a Failure of one of three kinds, which the methods tell once as what
// it is.
namespace picmeta::records {

enum class FailureKind {
  kRefused,  // the input cannot be taken (a name GBK cannot carry)
  kIo,       // a file failed (status says how)
  kFault,    // the program's own fault: told as event 399
};

class Failure : public std::runtime_error {
 public:
  Failure(FailureKind kind, const std::string& what, platform::Status status = {})
      : std::runtime_error(what), kind_(kind), status_(status) {}
  FailureKind kind() const noexcept { return kind_; }
  const platform::Status& status() const noexcept { return status_; }
  // The system's error number, for events (0 when there is none).
  int error() const noexcept { return status_.error.value(); }

 private:
  FailureKind kind_;
  platform::Status status_;
};

// An I/O Failure for a status that is not ok: "<what> <path>: <status>".
void Check(const platform::Status& status, const std::string& what, const platform::Path& path);
[[noreturn]] void FailIo(const platform::Status& status, const std::string& what,
                         const platform::Path& path);

// The value of a result, or its I/O Failure.
template <class T>
T Take(platform::Result<T> result, const std::string& what, const platform::Path& path) {
  if (!result) FailIo(result.status(), what, path);
  return std::move(*result);
}

[[noreturn]] inline void Refuse(const std::string& why) {
  throw Failure(FailureKind::kRefused, why);
}

}  // namespace picmeta::records

#endif
