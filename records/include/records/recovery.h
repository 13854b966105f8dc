#ifndef PICMETA_RECORDS_RECOVERY_H
#define PICMETA_RECORDS_RECOVERY_H

#include <optional>
#include <vector>

#include "platform/os/fs.h"
#include "records/folder_session.h"
#include "records/journal.h"

namespace picmeta::records {

// What a recovery did with the journal of a call that died.
struct RecoveredHandOver {
  platform::Path journal;
  std::optional<platform::Path> handover;  // the hand-over file it brought into view
  bool committed = false;
  bool finished = false;  // every claim settled and the journal gone
};

struct CaseRecovery {
  std::vector<RecoveredHandOver> handovers;
  std::vector<Leftover> leftovers;
};

// Finishes the hand-overs that calls that died left in a case folder, acting
// only on names it builds: the case folder's own hidden files, and the claims
// in `folders` (the case's document folders, as the collection walks them).
// A journal decides only when it verifies (of the hand-over's form, made in
// this case folder, held by no live call) and only by what it says: a
// committed one rolls forward (its hidden hand-over, when still there, comes
// into view; its claims go), any other rolls back (the hidden hand-over goes;
// its claims come back). It goes once each of its claims is settled; a claim
// in a folder out of reach keeps it, for a later call.
CaseRecovery RecoverCase(const platform::Path& case_folder,
                         const std::vector<platform::Path>& folders);

// Brings the hidden hand-over of a committed journal (held by the caller)
// into view, named from the journal's second on (`named`), or sees that it
// is in view already. False when that cannot be done now (`why` says why).
bool BringIntoView(const platform::Path& case_folder, const JournalText& j,
                   std::optional<platform::Path>& named, std::string& why);

}  // namespace picmeta::records

#endif
