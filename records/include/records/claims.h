#ifndef PICMETA_RECORDS_CLAIMS_H
#define PICMETA_RECORDS_CLAIMS_H

#include <functional>
#include <string>

#include "platform/os/fs.h"
#include "platform/xml/record_reader.h"
#include "records/folder_session.h"

// What becomes of a claimed working file, in its picture folder, under that
// folder's session: the claimed file goes or comes back, and records kept
// aside come back, merged with whatever the folder's writers saved since.
namespace picmeta::records {

// Settles call `id`'s claim in the session's folder: committed, its kept
// records come back and the claimed file goes; not, the claimed file comes
// back and what was kept goes (it is a copy). Then the note goes. Every step
// can be done again after a crash, to the same end; throws an I/O Failure.
void SettleClaim(const FolderSession& session, const std::string& id, bool committed);

// Completes the give-back of `given` that a crash interrupted while the
// working file stood aside as `since`.
void FinishGiveBack(const FolderSession& session, const platform::Path& since,
                    const platform::Path& given);

// Calls `item` for each item of a record file, with the frame as far as it
// is known and whether the item is a record; `frame` receives the whole
// frame. The load's result (kNotRecordDocument for a root other than
// "root"). Throws an I/O Failure on an I/O error.
using ItemFn = std::function<void(const platform::XmlFrame&, platform::XmlItem&, bool)>;
platform::LoadResult EachItem(const platform::Path& path, platform::XmlFrame& frame,
                              const ItemFn& item);
// EachItem over a file that loaded before under the same lock: that it no
// longer does is a fault (a Failure of kind kFault), and nothing made of it
// may be kept.
void AgainEachItem(const platform::Path& path, platform::XmlFrame& frame, const ItemFn& item);

}  // namespace picmeta::records

#endif
