#ifndef PICMETA_CAPTURE_REPORTS_H
#define PICMETA_CAPTURE_REPORTS_H

#include <string>
#include <utility>
#include <vector>

#include "capture/guarded.h"
#include "capture/public_function.h"
#include "platform/os/path.h"
#include "records/folder_session.h"
#include "records/loaded.h"

// The events of the methods' common failures (see picmeta/events.h), in
// the words the host and its support staff read.
namespace picmeta::capture {

// A picture whose name cannot be stored; one that could not be read, with
// what became of its record.
void ReportNameNotStorable(const platform::Path& picture, const std::string& consequence);
void ReportNotRead(const platform::Path& picture, const Public_Function::PictureRead& read,
                   const std::string& consequence);

// A workspace file that did not load; a file that failed.
void ReportNotLoaded(const platform::Path& path, const records::LoadResult& result);
void ReportFsFailure(int code, const platform::Path& path, const records::Failure& e);

// Runs file work; an I/O failure is told as event `code` for path and thrown
// on as Reported (a fault or a refusal goes on to the guard, which tells it).
template <class F>
decltype(auto) TellingIo(int code, const platform::Path& path, F&& work) {
  try {
    return std::forward<F>(work)();
  } catch (const records::Failure& e) {
    if (e.kind() != records::FailureKind::kIo) throw;
    ReportFsFailure(code, path, e);
    throw Reported();
  }
}

// What calls that died left: claims settled, hidden files left alone,
// claims that wait.
void ReportLeftovers(const std::vector<records::Leftover>& leftovers);

}  // namespace picmeta::capture

#endif
